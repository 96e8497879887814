// The collection server under load, each part in one run:
//  (1) one 200 MB archive of speech-like takes posted by the program's own
//      client to orvant-collect (receive + verify + store), next to the two
//      limits of that work: `curl --data-binary` of the same file into the
//      test server in sink mode (the wire) and a bare zlib inflate of the
//      archive's streams (the verification's CPU); rounds interleaved,
//      medians compared;
//  (2) 32 concurrent uploads of 20 MB: throughput, the server's peak resident
//      set (VmHWM) and the time to answer a small upload sent while the 32
//      run, against orvant-collect and against tests/upload/collection_server.py.
// usage: bench_collect [ROUNDS [PART]]   (data cached in the build folder)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_upload_common.h"
#include "tests/collect/CollectServerProcess.h"
#include "tests/collect/CollectTestSupport.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/HttpUpload.h"
#include "upload/VoiceArchive.h"

using namespace orvant;
using namespace orvant::bench;
using namespace orvant::collecttest;
namespace fs = std::filesystem;

extern char** environ;

namespace {

const std::string kInfo = "Speakername=Bench\r\nCountry=NZ\r\nRegion=Otago\r\n";

// Takes of 20 s stereo 16-bit 22050 Hz speech-like noise until the archive
// of them reaches bytes; built once with the program's writer.
std::string MakeArchive(const std::string& dir, const std::string& name, size_t bytes, int seed0) {
    const std::string path = dir + name;
    if (fs::exists(path)) return path;
    const std::string takes = dir + name + ".takes/";
    fs::create_directories(takes);
    orvant::testing::WriteFile(takes + "info.txt", kInfo);
    std::vector<std::string> files = {takes + "info.txt"};
    size_t raw = 0;
    for (int i = 0; raw < bytes * 2; ++i) {  // the noise packs to about half
        char n[32];
        std::snprintf(n, sizeof n, "t%04d.wav", i);
        orvant::testing::WriteFile(takes + n, Wave(orvant::testing::PseudoAudio(1764000, uint32_t(seed0 + i))));
        files.push_back(takes + n);
        raw += 1764000;
    }
    if (!BuildVoiceArchive(files, path + ".part")) throw std::runtime_error("cannot build " + path);
    fs::rename(path + ".part", path);
    fs::remove_all(takes);
    return path;
}

std::string SmallArchiveBytes() {
    return Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"p001.wav", Wave(orvant::testing::PseudoAudio(20000, 1)));
}

std::string Slurp(const std::string& path) { return orvant::testing::ReadFile(path); }

// Every stream of the archive inflated into a scratch buffer, nothing else.
void BareInflate(const std::string& a) {
    const auto* p = reinterpret_cast<const uint8_t*>(a.data());
    auto i32 = [&](size_t at) { int32_t v; std::memcpy(&v, p + at, 4); return v; };
    const int32_t n = i32(0);
    size_t at = 4;
    std::vector<uint8_t> out(256 * 1024);
    for (int32_t e = 0; e < n; ++e) {
        at += 4 + size_t(i32(at)) + 4;
        z_stream z{};
        inflateInit(&z);
        z.next_in = const_cast<uint8_t*>(p + at);
        z.avail_in = uInt(a.size() - at);
        int r;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            r = inflate(&z, Z_NO_FLUSH);
        } while (r == Z_OK);
        if (r != Z_STREAM_END) throw std::runtime_error("bad archive");
        at = a.size() - z.avail_in;
        inflateEnd(&z);
    }
}

long VmHWMKiB(pid_t pid) {
    const std::string s = orvant::testing::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = s.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(s.c_str() + at + 6);
}

// One raw POST of the framed archive from memory; returns the reply's status.
int PostFromMemory(int port, const std::string& head, const std::string& a, const std::string& tail,
                   const std::string& source) {
    const int s = Connect(port, source);
    if (s < 0) return 0;
    const std::string type = "multipart/form-data; boundary=--------120926150000123";
    // The program's own request head (the test server checks it).
    const std::string req = "POST /phpu/sndupload.php HTTP/1.0\r\nConnection: keep-alive\r\nContent-Type: " + type +
                            "\r\nContent-Length: " + std::to_string(head.size() + a.size() + tail.size()) +
                            "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";
    for (const std::string* part : {&req, &head, &a, &tail})
        for (size_t sent = 0; sent < part->size();) {
            const ssize_t k = ::send(s, part->data() + sent, part->size() - sent, MSG_NOSIGNAL);
            if (k <= 0) break;
            sent += size_t(k);
        }
    // Until the reply is complete: the connection is kept alive.
    char buf[4096];
    std::string in;
    for (ssize_t k; (k = ::recv(s, buf, sizeof buf, 0)) > 0;) {
        in.append(buf, size_t(k));
        const size_t end = in.find("\r\n\r\n"), cl = in.find("Content-Length: ");
        if (end != std::string::npos && cl != std::string::npos && cl < end &&
            in.size() >= end + 4 + std::stoul(in.substr(cl + 16)))
            break;
    }
    ::close(s);
    return in.size() > 12 ? std::atoi(in.c_str() + 9) : 0;
}

struct TLoad {
    double seconds = 0, mbps = 0, smallSeconds = 0;
    long peakKiB = 0;
    int failed = 0;
};

// 32 uploads of base (each with its own info.txt, so none is a duplicate)
// at once, and a small one sent from another address while they run.
TLoad Concurrent(int port, pid_t server, const std::string& base, const std::string& small) {
    const TMultipartFrame f = MakeMultipartFrame("--------120926150000123", "v261209150000123.zlb");
    const int32_t count = [&] { int32_t v; std::memcpy(&v, base.data(), 4); return v; }();
    std::vector<std::string> archives;
    for (int i = 0; i < 32; ++i)
        archives.push_back(Int32(count + 1) + Entry(u"speaker.txt", "client " + std::to_string(i)) + base.substr(4));
    TLoad load;
    std::atomic<int> failed{0};
    std::atomic<uint64_t> sent{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i)
        clients.emplace_back([&, i] {
            const int st = PostFromMemory(port, f.head, archives[size_t(i)], f.tail, "127.0.0." + std::to_string(10 + i));
            if (st != 200) {
                ++failed;
                std::fprintf(stderr, "upload %d: status %d\n", i, st);
            }
            sent += archives[size_t(i)].size();
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // pacing: well inside the 32 transfers
    const auto s0 = std::chrono::steady_clock::now();
    if (const int st = PostFromMemory(port, f.head, small, f.tail, "127.0.0.2"); st != 200) {
        ++failed;
        std::fprintf(stderr, "small upload: status %d\n", st);
    }
    load.smallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s0).count();
    for (auto& t : clients) t.join();
    load.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    load.mbps = double(sent) / 1e6 / load.seconds;
    load.peakKiB = VmHWMKiB(server);
    load.failed = failed;
    return load;
}

pid_t StartPython(const std::string& dir, int& port) {
    const std::string portFile = dir + "py.port";
    fs::remove(portFile);
    std::vector<std::string> args = {"python3", std::string(ORVANT_SOURCE_DIR) + "/tests/upload/collection_server.py",
                                     "--port", "0", "--port-file", portFile, "--save-dir", dir + "py-saved", "--mode",
                                     "ok"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "python3", nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start python3");
    for (port = 0; port == 0;) {
        port = std::atoi(orvant::testing::ReadFile(portFile).c_str());
        if (!port) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pid;
}

void Print(const char* who, const TLoad& l) {
    std::printf("  %-22s %6.1f MB/s  all 32 in %5.2f s  peak RSS %6.1f MiB  small upload answered in %.3f s%s\n", who,
                l.mbps, l.seconds, double(l.peakKiB) / 1024, l.smallSeconds, l.failed ? "  (FAILURES)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const int part = argc > 2 ? std::atoi(argv[2]) : 0;  // 1 or 2: that part alone
    const std::string work = std::string(ORVANT_BINARY_DIR) + "/bench-collect/";
    fs::create_directories(work);
    const std::string big = MakeArchive(work, "v200000000000000.zlb", 200u * 1000 * 1000, 1);
    const double mb = double(fs::file_size(big)) / 1e6;

    // (1) one 200 MB archive, three ways, interleaved.
    if (part != 2) {
    orvant::testing::TCollectionServer sink("sink");
    const std::string curl =
        "curl -sS -o /dev/null --fail --http1.0 -H 'Expect:' --data-binary @'" + big + "' " + sink.Url();
    const std::string bytes = Slurp(big);
    std::vector<double> wire, cpu, ours;
    for (int r = 0; r < rounds; ++r) {
        wire.push_back(Measure([&] { Shell(curl); }).wall);
        cpu.push_back(Measure([&] { BareInflate(bytes); }).wall);
        const std::string store = work + "store";
        fs::remove_all(store);
        TCollectProcess server(store, {});
        ours.push_back(Measure([&] {
            THttpClient client;
            const TUploadResult u = UploadArchiveTo(client, server.Url(), big);
            if (u.outcome != TUploadOutcome::uoAccepted) throw std::runtime_error("upload refused: " + u.reply);
        }).wall);
        server.Stop();
        fs::remove_all(store);
    }
    const double w = mb / Median(wire), c = mb / Median(cpu), o = mb / Median(ours);
    std::printf("(1) one %.0f MB archive, medians of %d interleaved rounds\n", mb, rounds);
    std::printf("  wire (curl --data-binary into the sink server)   %7.1f MB/s\n", w);
    std::printf("  bare zlib inflate of its streams                 %7.1f MB/s\n", c);
    std::printf("  orvant-collect receive + verify + store          %7.1f MB/s  = %.2fx the slower limit (goal 0.7x)\n",
                o, o / std::min(w, c));
    }
    if (part == 1) return 0;

    // (2) 32 concurrent uploads of 20 MB.
    const std::string base = Slurp(MakeArchive(work, "v020000000000000.zlb", 20u * 1000 * 1000, 5000));
    const std::string small = SmallArchiveBytes();
    std::printf("(2) 32 concurrent uploads of %.1f MB\n", double(base.size()) / 1e6);
    {
        const std::string store = work + "store";
        fs::remove_all(store);
        TCollectProcess server(store, {"--max-connections", "64", "--per-address", "8"});
        Print("orvant-collect", Concurrent(server.Port(), server.Pid(), base, small));
        server.Stop();
        fs::remove_all(store);
    }
    {
        int port;
        const pid_t py = StartPython(work, port);
        Print("collection_server.py", Concurrent(port, py, base, small));
        ::kill(py, SIGTERM);
        int st;
        waitpid(py, &st, 0);
        for (const auto& e : fs::directory_iterator(work + "py-saved"))
            if (e.path().extension() == ".json" && orvant::testing::ReadFile(e.path().string()).find("\"errors\": []") == std::string::npos)
                std::fprintf(stderr, "%s: %s\n", e.path().c_str(), orvant::testing::ReadFile(e.path().string()).substr(0, 600).c_str());
        fs::remove_all(work + "py-saved");
    }
    return 0;
}
