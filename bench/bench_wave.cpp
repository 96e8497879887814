// Buffer-path speed of the wave store. Every case moves 64 MiB per iteration
// and reports bytes_per_second:
//   PeakPercent / FillWithSilence on 16-bit stereo vs. memcpy between two
//   buffers that are already mapped;
//   reading a 64 MiB WAV file through the adapter in 1-second blocks vs.
//   plain read(2) calls of the same block size on the same file (both from
//   the page cache after the first pass).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "wave/WaveStorage.h"

using namespace orvant;

namespace {

constexpr uint32_t kBytes = 64u << 20;

tWAVEFORMATEX Format() {
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Stereo16bit44100Hz);
    return wf;
}

std::vector<uint8_t> Noise() {
    std::vector<uint8_t> data(kBytes);
    std::mt19937 rng(5);
    for (size_t i = 0; i < data.size(); i += 4) {
        const uint32_t r = rng() & 0x7FFF7FFF;  // no full-scale sample: the scan cannot stop early
        std::memcpy(&data[i], &r, 4);
    }
    return data;
}

// The 64 MiB file, written once through the adapter.
const std::string& WaveFile() {
    static const std::string path = [] {
        std::string dir = (std::filesystem::temp_directory_path() / "orvant-bench-wave-XXXXXX").string();
        if (!mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed");
        const std::string file = dir + "/64mib.wav";
        const std::vector<uint8_t> data = Noise();
        TWaveStreamAdapter w(new TFileStream(file, fmCreate), soOwned);
        if (!w.BeginRewritePCM(Stereo16bit44100Hz) || w.Write(data.data(), int32_t(kBytes)) != int32_t(kBytes) ||
            !w.EndRewrite())
            throw std::runtime_error("could not write " + file);
        std::atexit([] { std::filesystem::remove_all(std::filesystem::path(WaveFile()).parent_path()); });
        return file;
    }();
    return path;
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> src = Noise(), dst(kBytes, 2);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_PeakPercent(benchmark::State& state) {
    const std::vector<uint8_t> data = Noise();
    const tWAVEFORMATEX wf = Format();
    for (auto _ : state) {
        int level = PeakPercent(data.data(), kBytes, &wf);
        benchmark::DoNotOptimize(level);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_FillWithSilence(benchmark::State& state) {
    std::vector<uint8_t> data(kBytes, 1);
    const tWAVEFORMATEX wf = Format();
    for (auto _ : state) {
        benchmark::DoNotOptimize(FillWithSilence(data.data(), kBytes, &wf));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_PlainRead(benchmark::State& state) {
    const std::string& file = WaveFile();
    const uint32_t block = Format().nAvgBytesPerSec;
    std::vector<uint8_t> buf(block);
    for (auto _ : state) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ::lseek(fd, 46, SEEK_SET);
        uint64_t total = 0;
        for (ssize_t n; (n = ::read(fd, buf.data(), block)) > 0;) total += uint64_t(n);
        ::close(fd);
        if (total != kBytes) state.SkipWithError("short plain read");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_AdapterRead(benchmark::State& state) {
    const std::string& file = WaveFile();
    const tWAVEFORMATEX wf = Format();
    const uint32_t block = BufferBytesForMs(&wf, 1000);  // what a player asks for
    std::vector<uint8_t> buf(block);
    for (auto _ : state) {
        TWaveStreamAdapter a(new TFileStream(file, fmOpenRead | fmShareDenyWrite), soOwned);
        if (!a.BeginRead()) state.SkipWithError("BeginRead failed");
        uint64_t total = 0;
        for (int32_t n; (n = a.Read(buf.data(), int32_t(block))) > 0;) total += uint64_t(n);
        a.EndRead();
        if (total != kBytes) state.SkipWithError("short adapter read");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeakPercent)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FillWithSilence)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AdapterRead)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
