// Building the voice archive of 200 takes of 10 s Stereo16bit22050Hz speech,
// on every processor and on one thread, next to a bare zlib level-9 loop over
// the same files (same chunk size, output written to a file as well), rounds
// interleaved, medians compared. Then the peak memory of a child process that
// builds the archive of one take, of two files of 100 MB (the second is
// compressed while the first is written) and of the 200 takes.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_upload_common.h"
#include "upload/VoiceArchive.h"

using namespace orvant;
using namespace orvant::bench;
namespace fs = std::filesystem;

namespace {

const char* const kTexts[] = {
    "The north wind and the sun were disputing which was the stronger, when a traveller came along "
    "wrapped in a warm cloak. They agreed that the one who first succeeded in making the traveller "
    "take his cloak off should be considered stronger than the other.",
    "Then the north wind blew as hard as he could, but the more he blew the more closely did the "
    "traveller fold his cloak around him, and at last the north wind gave up the attempt.",
    "When the sunlight strikes raindrops in the air, they act as a prism and form a rainbow. The "
    "rainbow is a division of white light into many beautiful colours.",
    "Please call Stella. Ask her to bring these things with her from the store: six spoons of fresh "
    "snow peas, five thick slabs of blue cheese, and maybe a snack for her brother Bob.",
};

// 200 takes of exactly 10 s, 22050 Hz, 2 channels, 16 bits, made once and
// kept in the build folder.
std::vector<std::string> Takes() {
    const std::string dir = std::string(ORVANT_BINARY_DIR) + "/bench-data/upload-takes/";
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (int i = 0; i < 200; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "take%03d.wav", i);
        const std::string path = dir + name;
        files.push_back(path);
        if (fs::exists(path) && fs::file_size(path) == 44 + 882000) continue;
        std::string text;
        for (int k = 0; k < 4; ++k) text += std::string(kTexts[(i + k) % 4]) + " ";
        const std::string speech = dir + "speech.wav";
        Shell("espeak-ng -s " + std::to_string(150 + i % 40) + " -p " + std::to_string(30 + i % 40) + " -w '" +
              speech + "' \"" + text + "\"");
        Shell("sox '" + speech + "' -r 22050 -c 2 -b 16 '" + path + "' pad 0 10 trim 0 10");
        fs::remove(speech);
    }
    return files;
}

// The baseline: read each file in the builder's chunk size, deflate it with
// zlib at level 9 into one output file.
void BareZlib(const std::vector<std::string>& files, const std::string& out) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<unsigned char> in(256 * 1024), buf(256 * 1024);
    for (const auto& f : files) {
        const int fd = ::open(f.c_str(), O_RDONLY);
        z_stream z {};
        deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
        int flush;
        do {
            const ssize_t n = ::read(fd, in.data(), in.size());
            flush = n <= 0 ? Z_FINISH : Z_NO_FLUSH;
            z.next_in = in.data();
            z.avail_in = uInt(n > 0 ? n : 0);
            do {
                z.next_out = buf.data();
                z.avail_out = uInt(buf.size());
                deflate(&z, flush);
                if (::write(o, buf.data(), buf.size() - z.avail_out) < 0) throw std::runtime_error("write");
            } while (z.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&z);
        ::close(fd);
    }
    ::close(o);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::vector<std::string> takes = Takes();
    uint64_t bytes = 0;
    for (const auto& t : takes) bytes += fs::file_size(t);
    const std::string work = std::string(ORVANT_BINARY_DIR) + "/bench-data/";
    const std::string archive = work + "v-bench.zlb", bare = work + "bare.zlb";

    const unsigned all = std::max(1u, std::thread::hardware_concurrency());

    // Peak memory first, in children of a process that has built nothing
    // yet: memory freed by earlier builds would be reused unseen.
    const std::string big = work + "big.wav";
    {
        std::FILE* f = std::fopen(big.c_str(), "wb");
        std::vector<char> buf(882044);
        for (size_t i = 0; i < 114; ++i) {
            std::FILE* t = std::fopen(takes[i].c_str(), "rb");
            const size_t n = std::fread(buf.data(), 1, buf.size(), t);
            std::fclose(t);
            std::fwrite(buf.data(), 1, n, f);
        }
        std::fclose(f);
        fs::copy_file(big, big + ".2", fs::copy_options::overwrite_existing);
    }
    auto peak = [&](const std::vector<std::string>& files) {
        fs::remove(archive);
        return ChildPeakKiB([&] { BuildVoiceArchive(files, archive); });
    };
    const TPeak small = peak({takes[0]});
    const TPeak large = peak({big, big + ".2"});
    const TPeak session = peak(takes);
    std::printf("RSS, %u threads: 1 take (%.1f MB): %ld KiB at start, %ld KiB peak; 2 files of %.1f MB: %ld KiB at "
                "start, %ld KiB peak; the 200 takes: %ld KiB at start, %ld KiB peak\n",
                all, double(fs::file_size(takes[0])) / 1e6, small.startKiB, small.peakKiB,
                double(fs::file_size(big)) / 1e6, large.startKiB, large.peakKiB, session.startKiB, session.peakKiB);

    // Each build makes a new archive file: the name must be free.
    auto build = [&](unsigned threads) {
        fs::remove(archive);
        BuildVoiceArchive(takes, archive, nullptr, threads);
    };
    std::vector<double> ours, one, base, oursCpu, oneCpu, baseCpu;
    for (int r = 0; r < rounds; ++r) {
        // Rotate which goes first, so that none always meets a warmer cache.
        TTimes b, o, s;
        for (int k = 0; k < 3; ++k) {
            switch ((r + k) % 3) {
                case 0: b = Measure([&] { BareZlib(takes, bare); }); break;
                case 1: o = Measure([&] { build(0); }); break;
                default: s = Measure([&] { build(1); }); break;
            }
        }
        base.push_back(b.wall);
        baseCpu.push_back(b.cpu);
        ours.push_back(o.wall);
        oursCpu.push_back(o.cpu);
        one.push_back(s.wall);
        oneCpu.push_back(s.cpu);
    }
    const double mb = double(bytes) / 1e6;
    std::printf("archive of %zu takes, %.1f MB in, %.1f MB out (bare zlib %.1f MB), %d rounds\n", takes.size(), mb,
                double(fs::file_size(archive)) / 1e6, double(fs::file_size(bare)) / 1e6, rounds);
    std::printf("BuildVoiceArchive, %u threads  median %.3f s  %.2f MB/s  CPU %.3f s\n", all, Median(ours),
                mb / Median(ours), Median(oursCpu));
    std::printf("BuildVoiceArchive, 1 thread   median %.3f s  %.2f MB/s  CPU %.3f s\n", Median(one), mb / Median(one),
                Median(oneCpu));
    std::printf("bare zlib level 9             median %.3f s  %.2f MB/s  CPU %.3f s\n", Median(base),
                mb / Median(base), Median(baseCpu));
    std::printf("throughput ratio %u threads / bare %.3f  (goal >= 1.8 on 2 cores)\n", all, Median(base) / Median(ours));
    std::printf("throughput ratio 1 thread / bare %.3f  (goal >= 0.95)\n", Median(base) / Median(one));
    std::printf("CPU time ratio %u threads / bare %.3f, 1 thread / bare %.3f (work done, not speed)\n", all,
                Median(oursCpu) / Median(baseCpu), Median(oneCpu) / Median(baseCpu));

    fs::remove(big + ".2");
    fs::remove(big);
    fs::remove(archive);
    fs::remove(bare);
    return 0;
}
