// Bandwidth of the in-place edits and of mixing on 64 MiB images held in
// memory streams, next to memcpy of 64 MiB between two buffers that are
// already mapped. Every case reports bytes_per_second for 64 MiB of data per
// iteration (for Mix: of output, read from two sources of that size).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "wave/WaveStorage.h"

using namespace orvant;

namespace {

constexpr uint32_t kBytes = 64u << 20;

std::unique_ptr<TWaveStreamAdapter> MakeImage(TPCMFormat format, uint32_t seed) {
    std::vector<uint8_t> data(kBytes);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < data.size(); i += 4) {
        const uint32_t r = rng();
        std::memcpy(&data[i], &r, 4);
    }
    auto w = std::make_unique<TWaveStreamAdapter>(new TMemoryStream, soOwned);
    if (!w->BeginRewritePCM(format) || w->Write(data.data(), int32_t(kBytes)) != int32_t(kBytes) || !w->EndRewrite())
        throw std::runtime_error("could not build the image");
    return w;
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> src(kBytes, 1), dst(kBytes, 2);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_Invert(benchmark::State& state) {
    auto w = MakeImage(TPCMFormat(state.range(0)), 1);
    for (auto _ : state)
        if (!w->Invert()) state.SkipWithError("Invert failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_ChangeVolume(benchmark::State& state) {
    auto w = MakeImage(TPCMFormat(state.range(0)), 2);
    int32_t percent = -10;
    for (auto _ : state) {
        if (!w->ChangeVolume(percent)) state.SkipWithError("ChangeVolume failed");
        percent = percent == -10 ? 11 : -10;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_Mix(benchmark::State& state) {
    const auto format = TPCMFormat(state.range(0));
    auto a = MakeImage(format, 3), b = MakeImage(format, 4);
    TWaveStreamAdapter out(new TMemoryStream, soOwned);
    const std::vector<TWaveStreamAdapter*> sources{a.get(), b.get()};
    for (auto _ : state)
        if (!out.Mix(sources)) state.SkipWithError("Mix failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Invert)->Arg(Stereo16bit44100Hz)->Arg(Stereo8bit44100Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChangeVolume)->Arg(Stereo16bit44100Hz)->Arg(Stereo8bit44100Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mix)->Arg(Stereo16bit44100Hz)->Arg(Stereo8bit44100Hz)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
