// Records, then plays, N seconds of Stereo16bit22050Hz through the
// wave-device layer on the simulated device running in real time, the way
// the engine drives it: two buffers of one second, each queued again from a
// callback thread as it comes back. Reports the process's CPU time per phase
// (as a share of one core) and how many allocations happened once streaming
// was steady (after the first two seconds).
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

}  // namespace

void* operator new(std::size_t n) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace orvant;

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TPhase {
    double cpu = 0, wall = 0;
    long allocations = 0;
    unsigned long buffers = 0;
};

WAVEFORMATEX Format() {
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
    return f;
}

// Runs one direction for `seconds`; measures from the third second on.
TPhase Run(bool input, int seconds) {
    std::atomic<unsigned long> returned{0};
    DWORD_PTR device = 0;
    std::atomic<bool> stopping{false};
    TCallbackThread* thread = TCallbackThread::Start([&](UINT msg, DWORD_PTR, DWORD_PTR l) {
        if (msg != MM_WIM_DATA && msg != MM_WOM_DONE) return;
        ++returned;
        if (stopping) return;
        auto* h = reinterpret_cast<WAVEHDR*>(l);
        if (input)
            waveInAddBuffer(reinterpret_cast<HWAVEIN>(device), h, sizeof(WAVEHDR));
        else
            waveOutWrite(reinterpret_cast<HWAVEOUT>(device), h, sizeof(WAVEHDR));
    });
    const WAVEFORMATEX fmt = Format();
    std::vector<std::vector<char>> blocks(2, std::vector<char>(88200, 1));
    WAVEHDR hdr[2]{};
    for (int i = 0; i < 2; ++i) {
        hdr[i].lpData = blocks[i].data();
        hdr[i].dwBufferLength = 88200;
    }
    if (input) {
        HWAVEIN h = nullptr;
        if (waveInOpen(&h, WAVE_MAPPER, &fmt, thread->Handle(), 0, CALLBACK_THREAD)) std::abort();
        device = reinterpret_cast<DWORD_PTR>(h);
        for (auto& x : hdr) {
            waveInPrepareHeader(h, &x, sizeof x);
            waveInAddBuffer(h, &x, sizeof x);
        }
        waveInStart(h);
    } else {
        HWAVEOUT h = nullptr;
        if (waveOutOpen(&h, WAVE_MAPPER, &fmt, thread->Handle(), 0, CALLBACK_THREAD)) std::abort();
        device = reinterpret_cast<DWORD_PTR>(h);
        for (auto& x : hdr) {
            waveOutPrepareHeader(h, &x, sizeof x);
            waveOutWrite(h, &x, sizeof x);
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    TPhase p;
    const unsigned long before = returned;
    gAllocations = 0;
    gCounting = true;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds - 2));
    p.cpu = CpuSeconds() - cpu0;
    p.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    gCounting = false;
    p.allocations = gAllocations;
    p.buffers = returned - before;
    stopping = true;
    if (input) {
        auto h = reinterpret_cast<HWAVEIN>(device);
        waveInReset(h);
        WaitWhileDispatching([&] { return (hdr[0].dwFlags & WHDR_INQUEUE) == 0 && (hdr[1].dwFlags & WHDR_INQUEUE) == 0; });
        waveInClose(h);
    } else {
        auto h = reinterpret_cast<HWAVEOUT>(device);
        waveOutReset(h);
        WaitWhileDispatching([&] { return (hdr[0].dwFlags & WHDR_INQUEUE) == 0 && (hdr[1].dwFlags & WHDR_INQUEUE) == 0; });
        waveOutClose(h);
    }
    thread->Quit();
    WaitWhileDispatching([&] { return thread->Finished(); });
    thread->Release();
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 60;
    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmRealTime);
    sim->SetKeepOutput(false);
    sim->SetInputSine(440, 0.5);
    TWaveBackendInstall use(sim);
    std::printf("Stereo16bit22050Hz, two 1 s buffers, simulated device in real time, %d s per phase\n", seconds);
    std::printf("%-10s %10s %10s %12s %10s %12s\n", "phase", "wall s", "cpu ms", "% of a core", "buffers",
                "allocations");
    for (bool input : {true, false}) {
        TPhase p = Run(input, seconds);
        std::printf("%-10s %10.2f %10.1f %12.3f %10lu %12ld\n", input ? "record" : "play", p.wall, p.cpu * 1000,
                    100.0 * p.cpu / p.wall, p.buffers, p.allocations);
    }
    return 0;
}
