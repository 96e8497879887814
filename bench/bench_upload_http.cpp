// Posting a 200 MB archive to the local collection server (mode sink: it
// counts the body and answers "E=0") next to `curl --data-binary` of the
// same file to the same server, rounds interleaved, medians compared. Then
// the peak memory of a child process posting 20 MB and one posting 200 MB.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_upload_common.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/HttpUpload.h"

using namespace orvant;
using namespace orvant::bench;
namespace fs = std::filesystem;

namespace {

void MakeFile(const std::string& path, size_t bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<uint32_t> buf(1 << 18);
    uint32_t x = 12345;
    for (size_t done = 0; done < bytes;) {
        for (auto& v : buf) v = (x = x * 1664525u + 1013904223u);
        const size_t n = std::min(bytes - done, buf.size() * 4);
        std::fwrite(buf.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

void Post(const std::string& url, const std::string& file) {
    THttpClient client;
    client.OnWork = [](THttpClient&, TWorkMode, int64_t) {};
    const TUploadResult r = UploadArchiveTo(client, url, file);
    if (r.outcome != TUploadOutcome::uoAccepted) throw std::runtime_error("upload failed: " + r.error);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::string work = std::string(ORVANT_BINARY_DIR) + "/bench-data/";
    fs::create_directories(work);
    const std::string big = work + "v200000000000000.zlb", small = work + "v020000000000000.zlb";
    MakeFile(big, 200u * 1000 * 1000);
    MakeFile(small, 20u * 1000 * 1000);
    testing::TCollectionServer server("sink");
    const std::string url = server.Url();
    const std::string curl = "curl -sS -o /dev/null --fail --http1.0 -H 'Expect:' --data-binary @'" + big + "' " + url;

    std::vector<double> ours, base;
    for (int r = 0; r < rounds; ++r) {
        base.push_back(Measure([&] { Shell(curl); }).wall);
        ours.push_back(Measure([&] { Post(url, big); }).wall);
    }
    const double mb = double(fs::file_size(big)) / 1e6;
    std::printf("UploadArchiveTo          median %.3f s  %.1f MB/s\n", Median(ours), mb / Median(ours));
    std::printf("curl --data-binary       median %.3f s  %.1f MB/s\n", Median(base), mb / Median(base));
    std::printf("throughput ratio (ours / curl) %.3f  (goal >= 0.9)\n", Median(base) / Median(ours));

    const TPeak a = ChildPeakKiB([&] { Post(url, small); });
    const TPeak b = ChildPeakKiB([&] { Post(url, big); });
    std::printf("RSS posting 20 MB: %ld KiB at start, %ld KiB peak; posting 200 MB: %ld KiB at start, %ld KiB peak\n",
                a.startKiB, a.peakKiB, b.startKiB, b.peakKiB);
    fs::remove(big);
    fs::remove(small);
    return 0;
}
