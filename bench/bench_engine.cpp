// The device engine streaming Stereo16bit22050Hz in real time on the
// simulated device (default 60 s each):
//   - recording into a sink with a callback window on the main thread (as the
//     main window's recorder does),
//   - playback from memory with a callback thread (as the main window's
//     player does),
//   - recording into a file with the stock recorder (header sizes rewritten
//     after every buffer, as the main window's takes are written),
//   - the hands-free recorder listening (armed, a steady room noise that
//     starts no take) and recording one take (speech-like bursts that never
//     pause long enough to end it), steady from one second after its start,
//   - playback of 44.1 kHz 24-bit stereo, a WAVE_FORMAT_EXTENSIBLE record as
//     recorders write it, which the simulated device (8 or 16 bits) does
//     not take: the wave mapper converts it to 16 bits on the way; and
//     22.05 kHz stereo IMA ADPCM, which it decodes,
//   - with "all", also the two other callback modes.
// With "<n>ms" the recorder keeps 2000 / n buffers of n ms (the same two
// seconds) instead of two of one second; the player keeps its defaults.
// For each it prints the CPU time of the whole process (engine, device layer
// and simulated device together) and of the thread that handles the device
// messages, as a share of one core over the steady part, and the allocations
// (operator new and malloc, counted by replacing both here) made during that
// steady part: in the process and on the message thread.
//
//   bench/bench_engine [seconds] [all] [<n>ms]

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "audio/WaveRecorders.h"
#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"

// ------------------------------------------------------------ allocation counting

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<uint64_t> gNews{0};
std::atomic<uint64_t> gMallocs{0};
thread_local uint64_t tAllocs = 0;  // both kinds, on this thread
}  // namespace

extern "C" void* malloc(size_t n) {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    ++tAllocs;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    ++tAllocs;
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    ++tAllocs;
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }

static void* CountedNew(size_t n) {
    gNews.fetch_add(1, std::memory_order_relaxed);
    ++tAllocs;
    void* p = __libc_malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(size_t n) { return CountedNew(n); }
void* operator new[](size_t n) { return CountedNew(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return CountedNew(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }

namespace orvant {
namespace {

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double WallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A snapshot of the counters, taken on the message thread.
struct TSample {
    double wall = 0, process = 0, thread = 0;
    uint64_t news = 0, mallocs = 0, threadAllocs = 0;
    static TSample Now() {
        return {WallSeconds(), ProcessCpuSeconds(), ThreadCpuSeconds(), gNews.load(), gMallocs.load(), tAllocs};
    }
};

void Report(const char* what, const TSample& a, const TSample& b, uint64_t bytes) {
    const double wall = b.wall - a.wall;
    std::printf("%-34s steady %6.1f s, %9llu bytes | CPU process %6.3f s = %5.2f %% of a core, message thread %6.3f s = "
                "%5.3f %% | allocations: new %llu, malloc %llu, on the message thread %llu\n",
                what, wall, static_cast<unsigned long long>(bytes), b.process - a.process,
                100.0 * (b.process - a.process) / wall, b.thread - a.thread, 100.0 * (b.thread - a.thread) / wall,
                static_cast<unsigned long long>(b.news - a.news), static_cast<unsigned long long>(b.mallocs - a.mallocs),
                static_cast<unsigned long long>(b.threadAllocs - a.threadAllocs));
    std::fflush(stdout);
}

constexpr uint32_t kBytesPerSecond = 88200;

class TBenchIn : public TWaveAudioIn {
public:
    TBenchIn(uint32_t buffers, uint16_t ms) : fBuffers(buffers) {
        SetPCMFormat(Stereo16bit22050Hz);
        SetBufferLength(ms);
        SetBufferCount(uint16_t(std::max(2, 2000 / ms)));
    }
    ~TBenchIn() override { ShutDown(); }
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> buffers{0};
    TSample first, last;
    std::atomic<bool> done{false};

protected:
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool&) override {
        // Touch the data as a writer would.
        volatile uint8_t sink = static_cast<uint8_t*>(Buffer)[BufferSize - 1];
        (void)sink;
        bytes += BufferSize;
        const int n = ++buffers;
        if (n == 1) first = TSample::Now();  // steady from the first full buffer on
        if (n == int(fBuffers)) {
            last = TSample::Now();
            done = true;
        }
    }

private:
    uint32_t fBuffers;
};

// The format record the player plays: Stereo16bit22050Hz, or the bytes of
// another record.
class TBenchOut : public TWaveAudioOut {
public:
    explicit TBenchOut(uint32_t seconds, std::vector<uint8_t> format = {}) : fFormat(std::move(format)) {
        if (fFormat.empty()) {
            tWAVEFORMATEX f{};
            PCMFormatToWaveFormat(&f, Stereo16bit22050Hz);
            fFormat.assign(reinterpret_cast<uint8_t*>(&f), reinterpret_cast<uint8_t*>(&f) + sizeof f);
        }
        fData.resize(size_t(seconds) * reinterpret_cast<const tWAVEFORMATEX*>(fFormat.data())->nAvgBytesPerSec);
        // Compressed data stays zero: blocks of silence with valid headers.
        if (reinterpret_cast<const tWAVEFORMATEX*>(fFormat.data())->wFormatTag == WAVE_FORMAT_PCM ||
            reinterpret_cast<const tWAVEFORMATEX*>(fFormat.data())->wFormatTag == 0xFFFE)
            for (size_t i = 0; i < fData.size(); ++i) fData[i] = uint8_t(i * 7);
    }
    ~TBenchOut() override { ShutDown(); }
    std::atomic<int> buffers{0};
    TSample first, last;
    uint64_t steadyBytes = 0;

protected:
    void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override {
        FreeIt = false;
        pWaveFormat = reinterpret_cast<PWaveFormatEx>(fFormat.data());
    }
    uint32_t FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t&) override {
        const size_t n = std::min<size_t>(BufferSize, fData.size() - fPos);
        std::memcpy(Buffer, fData.data() + fPos, n);
        fPos += n;
        const int k = ++buffers;
        // Steady from the third refill (the queue is full) to the last one
        // with data.
        if (k == 3) first = TSample::Now();
        if (n > 0 && fPos == fData.size()) {
            last = TSample::Now();
            steadyBytes = uint64_t(k - 4) * BufferSize + n;
        }
        return uint32_t(n);
    }

private:
    std::vector<uint8_t> fFormat;
    std::vector<uint8_t> fData;
    size_t fPos = 0;
};

void Record(bool async, uint32_t seconds, uint16_t ms) {
    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmRealTime);
    TWaveBackendInstall use(sim);
    sim->SetInputSine(440, 0.5);
    const uint32_t perSecond = 1000 / ms;
    TBenchIn in(seconds * perSecond + 1, ms);
    in.SetAsync(async);
    in.SetActive(true);
    WaitWhileDispatching([&] { return in.done.load(); });
    const uint64_t bytes = (in.buffers - 1) * uint64_t(kBytesPerSecond) / perSecond;
    in.SetActive(false);
    in.WaitForStop();
    Report(async ? "recording, callback thread" : "recording, callback window", in.first, in.last, bytes);
}

class TBenchRecorder : public TStockAudioRecorder {
public:
    TBenchRecorder(uint32_t buffers, uint16_t ms) : fBuffers(buffers) {
        SetPCMFormat(Stereo16bit22050Hz);
        SetBufferLength(ms);
        SetBufferCount(uint16_t(std::max(2, 2000 / ms)));
    }
    std::atomic<int> buffers{0};
    TSample first, last;
    std::atomic<bool> done{false};

protected:
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt) override {
        TStockAudioRecorder::HandleInputData(Buffer, BufferSize, FreeIt);
        const int n = ++buffers;
        if (n == 1) first = TSample::Now();
        if (n == int(fBuffers)) {
            last = TSample::Now();
            done = true;
        }
    }

private:
    uint32_t fBuffers;
};

void RecordToFile(uint32_t seconds, uint16_t ms) {
    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmRealTime);
    TWaveBackendInstall use(sim);
    sim->SetInputSine(440, 0.5);
    char folder[] = "/tmp/bench-engine-XXXXXX";
    if (!mkdtemp(folder)) return;
    const std::string take = std::string(folder) + "/take.wav";
    {
        const uint32_t perSecond = 1000 / ms;
        TBenchRecorder rec(seconds * perSecond + 1, ms);
        rec.RecordToFile(take);
        WaitWhileDispatching([&] { return rec.done.load(); });
        const uint64_t bytes = (rec.buffers - 1) * uint64_t(kBytesPerSecond) / perSecond;
        rec.Stop();
        rec.WaitForStop();
        Report("recording to a file, stock recorder", rec.first, rec.last, bytes);
    }
    std::remove(take.c_str());
    rmdir(folder);
}

class TBenchHandsFree : public THandsFreeRecorder {
public:
    TBenchHandsFree(uint32_t buffers, uint16_t ms) : fBuffers(buffers) {
        SetPCMFormat(Stereo16bit22050Hz);
        SetBufferLength(ms);
        SetBufferCount(uint16_t(std::max(2, 2000 / ms)));
    }
    std::atomic<int> buffers{0};
    uint32_t skip = 0;  // buffers before the steady part (a take's start)
    TSample first, last;
    std::atomic<bool> done{false};

protected:
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt) override {
        THandsFreeRecorder::HandleInputData(Buffer, BufferSize, FreeIt);
        const int n = ++buffers;
        if (n == int(skip) + 1) first = TSample::Now();
        if (n == int(fBuffers + skip)) {
            last = TSample::Now();
            done = true;
        }
    }

private:
    uint32_t fBuffers;
};

void HandsFree(bool take, uint32_t seconds, uint16_t ms) {
    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmRealTime);
    TWaveBackendInstall use(sim);
    const uint32_t perSecond = 1000 / ms;
    // A RIFF image of the input: one second of room noise, then (for a take)
    // 200 ms bursts of a tone 40 dB over it with 100 ms pauses.
    std::vector<uint8_t> image(44 + size_t(seconds + 3) * kBytesPerSecond);
    tWAVEFORMATEX f{};
    PCMFormatToWaveFormat(&f, Stereo16bit22050Hz);
    const uint32_t data = uint32_t(image.size() - 44), riff = data + 36, fmt = 16;
    std::memcpy(image.data(), "RIFF", 4);
    std::memcpy(image.data() + 4, &riff, 4);
    std::memcpy(image.data() + 8, "WAVEfmt ", 8);
    std::memcpy(image.data() + 16, &fmt, 4);
    std::memcpy(image.data() + 20, &f, 16);
    std::memcpy(image.data() + 36, "data", 4);
    std::memcpy(image.data() + 40, &data, 4);
    uint32_t noise = 1;
    for (size_t i = 0; i < data / 2; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const size_t frame = i / 2;
        const bool burst = take && frame >= 22050 && (frame % 6615) < 4410;
        const int16_t v = int16_t(int(noise >> 24) - 128 + (burst ? int(8000 * std::sin(double(frame) * 0.1)) : 0));
        std::memcpy(image.data() + 44 + 2 * i, &v, 2);
    }
    sim->SetInputWave(std::move(image));
    char folder[] = "/tmp/bench-engine-XXXXXX";
    if (!mkdtemp(folder)) return;
    const std::string file = std::string(folder) + "/take.wav";
    {
        TBenchHandsFree rec(seconds * perSecond + 1, ms);
        rec.skip = take ? 2 * perSecond : 0;
        int takes = 0;
        rec.OnTakeBegin = [&](THandsFreeRecorder*, const std::string&) { ++takes; };
        rec.Listen();
        rec.Arm(file, 800);
        WaitWhileDispatching([&] { return rec.done.load(); });
        const uint64_t bytes = (rec.buffers - 1 - rec.skip) * uint64_t(kBytesPerSecond) / perSecond;
        const bool recording = rec.Recording();
        rec.Stop();
        rec.WaitForStop();
        Report(take ? "hands-free, recording a take" : "hands-free, listening", rec.first, rec.last, bytes);
        if (takes != (take ? 1 : 0) || recording != take) std::printf("  (unexpected: %d takes)\n", takes);
    }
    std::remove(file.c_str());
    rmdir(folder);
}

// 44.1 kHz, 2 channels, 24 bits in a WAVE_FORMAT_EXTENSIBLE record.
std::vector<uint8_t> Extensible24bit44100Hz() {
    std::vector<uint8_t> r(sizeof(tWAVEFORMATEX) + 22, 0);
    auto& f = *reinterpret_cast<tWAVEFORMATEX*>(r.data());
    f = tWAVEFORMATEX{0xFFFE, 2, 44100, 44100 * 6, 6, 24, 22};
    const uint8_t ext[22] = {24, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
    std::memcpy(r.data() + sizeof f, ext, sizeof ext);
    return r;
}

// 22.05 kHz stereo IMA ADPCM, 1024-byte blocks of 1017 frames.
std::vector<uint8_t> ImaAdpcm22050Hz() {
    std::vector<uint8_t> r(sizeof(tWAVEFORMATEX) + 2, 0);
    auto& f = *reinterpret_cast<tWAVEFORMATEX*>(r.data());
    f = tWAVEFORMATEX{WAVE_FORMAT_IMA_ADPCM, 2, 22050, 22050 * 1024 / 1017, 1024, 4, 2};
    r[sizeof f] = 1017 & 0xFF;
    r[sizeof f + 1] = 1017 >> 8;
    return r;
}

void Play(bool async, uint32_t seconds, std::vector<uint8_t> format = {}, const char* what = nullptr) {
    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmRealTime);
    TWaveBackendInstall use(sim);
    sim->SetKeepOutput(false);
    TBenchOut out(seconds + 2, std::move(format));
    out.SetAsync(async);
    std::atomic<bool> closed{false};
    out.OnDeactivate = [&](TWaveAudioIO*) { closed = true; };
    out.SetActive(true);
    WaitWhileDispatching([&] { return closed.load(); });
    out.WaitForStop();
    Report(what ? what : async ? "playback, callback thread" : "playback, callback window", out.first, out.last,
           out.steadyBytes);
}

}  // namespace
}  // namespace orvant

int main(int argc, char** argv) {
    const uint32_t seconds = argc > 1 ? uint32_t(std::max(3, std::atoi(argv[1]))) : 60;
    bool all = false;
    uint16_t ms = 1000;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "all") all = true;
        if (a.size() > 2 && a.substr(a.size() - 2) == "ms") ms = uint16_t(std::clamp(std::atoi(a.c_str()), 10, 1000));
    }
    std::printf("Stereo16bit22050Hz, %u s each, real-time simulated device; recorder BufferLength %u, BufferCount %d; "
                "player BufferLength 1000, BufferCount 2\n",
                seconds, ms, std::max(2, 2000 / ms));
    orvant::Record(false, seconds, ms);
    orvant::RecordToFile(seconds, ms);
    orvant::HandsFree(false, seconds, ms);
    orvant::HandsFree(true, seconds, ms);
    orvant::Play(true, seconds);
    orvant::Play(true, seconds, orvant::Extensible24bit44100Hz(), "playback 24-bit 44.1 kHz, mapped");
    orvant::Play(true, seconds, orvant::ImaAdpcm22050Hz(), "playback IMA ADPCM 22.05 kHz, mapped");
    if (all) {
        orvant::Record(true, seconds, ms);
        orvant::Play(false, seconds);
    }
    // The counters are live: the start-up and the set-up of each run allocate.
    std::printf("allocations in the whole run: new %llu, malloc %llu\n",
                static_cast<unsigned long long>(gNews.load()), static_cast<unsigned long long>(gMallocs.load()));
    return 0;
}
