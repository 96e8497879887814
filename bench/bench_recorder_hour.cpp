// Records `minutes` (default 60) of Stereo16bit22050Hz with the stock
// recorder as the main window drives it (callback window, two buffers of one
// second) on the simulated input device, whose clock runs as fast as the
// recorder keeps up. Reports the bytes the device captured, the bytes in the
// file's data part, the peak resident memory after the first minute and at
// the end, and the time taken.
//
//   bench_recorder_hour [minutes] [folder]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "audio/WaveRecorders.h"
#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/WaveDev.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "wave/WaveStorage.h"

using namespace orvant;

namespace {

long PeakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 60;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const std::string path = folder + "/orvant-bench-take.wav";

    auto sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmDriven);
    TWaveBackendInstall install(sim);
    sim->SetInputSine(440, 0.5);

    const auto t0 = std::chrono::steady_clock::now();
    long rssAfterFirstMinute = 0;
    uint64_t captured = 0;
    {
        TStockAudioRecorder rec;
        rec.SetPCMFormat(Stereo16bit22050Hz);
        bool opened = false;
        rec.OnActivate = [&](TWaveAudioIO*) { opened = true; };
        if (!rec.RecordToFile(path)) return 2;
        WaitWhileDispatching([&] { return opened; }, 60000);

        // One buffer's length (a second) at a time: the device never runs
        // ahead of the two queued buffers, so nothing is lost for want of a
        // buffer, and each step ends with the data message of the buffer it
        // filled, which wakes the wait at once.
        const uint64_t steps = uint64_t(minutes) * 60;
        for (uint64_t i = 1; i <= steps; ++i) {
            sim->Advance(1000);
            const uint64_t target = i * 22050;
            if (WaitWhileDispatching([&] { return sim->CapturedFrames() >= target; }, 60000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "device stalled at step %llu\n", (unsigned long long)i);
                return 3;
            }
            if (i == 60) rssAfterFirstMinute = PeakRssKb();
        }
        rec.Stop();
        WaitWhileDispatching([&] { return !rec.Active(); }, 60000);
        captured = sim->CapturedFrames() * 4;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    TFileStream file(path, fmOpenRead | fmShareDenyWrite);
    TWaveStreamAdapter wave(&file);
    const uint64_t data = wave.Valid() ? wave.DataSize() : 0;
    const int64_t size = file.Size();
    std::printf("minutes            %d\n", minutes);
    std::printf("captured bytes     %llu\n", (unsigned long long)captured);
    std::printf("data part bytes    %llu\n", (unsigned long long)data);
    std::printf("file bytes         %lld (header %lld)\n", (long long)size, (long long)(size - int64_t(data)));
    std::printf("dropped bytes      %lld\n", (long long)(int64_t(captured) - int64_t(data)));
    std::printf("peak RSS 1st min   %ld KiB\n", rssAfterFirstMinute);
    std::printf("peak RSS at end    %ld KiB\n", PeakRssKb());
    std::printf("wall time          %.1f s\n", secs);
    std::remove(path.c_str());
    return data == captured && captured == uint64_t(minutes) * 60 * 88200 ? 0 : 1;
}
