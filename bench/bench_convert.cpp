// Converts a long Stereo16bit44100Hz WAVE file to Mono16bit22050Hz with
// ConvertToPCM (on the file itself and on a memory copy) and with sox, in
// the same run, each in a child process so that its peak memory can be
// read. Prints the median wall time of each and the ratios.
//   bench_convert [minutes = 10] [repetitions = 5]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "wave/WaveStorage.h"

using namespace orvant;

namespace {

struct Run {
    double seconds;
    long peakKiB;
};

// Runs job in a child; its wall time and peak resident memory.
Run InChild(const std::function<int()>& job) {
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) _exit(job());
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "run failed (status %d)\n", status);
        std::exit(1);
    }
    return {s, ru.ru_maxrss};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
    char tmpl[] = "/tmp/orvant-bench-convert-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string source = dir + "/source.wav", work = dir + "/work.wav", soxOut = dir + "/sox.wav";
    // Speech-like material: pink noise shaped by a tremolo, plus a tone.
    const std::string make = "sox -n -r 44100 -c 2 -b 16 " + source + " synth " + std::to_string(minutes * 60) +
                             " pinknoise sine 440 tremolo 3 60 gain -6 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "sox could not make the source file\n");
        return 1;
    }
    const std::string copy = "cp " + source + " " + work;

    std::vector<double> ours, oursMem, sox;
    long oursPeak = 0, oursMemPeak = 0, soxPeak = 0;
    for (int r = 0; r < reps; ++r) {
        if (std::system(copy.c_str()) != 0) return 1;
        Run a = InChild([&] {
            TFileStream f(work, fmOpenReadWrite | fmShareExclusive);
            TWaveStreamAdapter w(&f);
            return w.ConvertToPCM(Mono16bit22050Hz) && w.PCMFormat() == Mono16bit22050Hz ? 0 : 2;
        });
        Run m = InChild([&] {
            TMemoryStream s;
            TWaveStreamAdapter w(&s);
            w.LoadFromFile(source);
            return w.ConvertToPCM(Mono16bit22050Hz) ? 0 : 2;
        });
        Run b = InChild([&] {
            execlp("sox", "sox", source.c_str(), "-c", "1", "-r", "22050", soxOut.c_str(), (char*)nullptr);
            return 3;
        });
        ours.push_back(a.seconds);
        oursMem.push_back(m.seconds);
        sox.push_back(b.seconds);
        oursPeak = std::max(oursPeak, a.peakKiB);
        oursMemPeak = std::max(oursMemPeak, m.peakKiB);
        soxPeak = std::max(soxPeak, b.peakKiB);
    }
    TFileStream in(source, fmOpenRead | fmShareDenyNone);
    const double mib = double(in.Size()) / (1 << 20);
    std::printf("source: %d min Stereo16bit44100Hz, %.1f MiB; %d repetitions\n", minutes, mib, reps);
    std::printf("ConvertToPCM on the file stream : median %.3f s, peak RSS %.1f MiB\n", Median(ours),
                oursPeak / 1024.0);
    std::printf("ConvertToPCM on a memory stream : median %.3f s (load included), peak RSS %.1f MiB\n",
                Median(oursMem), oursMemPeak / 1024.0);
    std::printf("sox -c 1 -r 22050               : median %.3f s, peak RSS %.1f MiB\n", Median(sox),
                soxPeak / 1024.0);
    std::printf("ratio ours(file) / sox          : %.2f\n", Median(ours) / Median(sox));
    std::printf("whole-buffer bound: source %.1f MiB + target %.1f MiB\n", mib, mib / 4);
    std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
