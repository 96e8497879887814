// The real server on 127.0.0.1 with a scratch store: what the program sends
// is kept whole and indexed, duplicates are counted, and every hostile
// request gets a clear status and a log line, leaves nothing in the store and
// leaves the server serving.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "collect/Files.h"
#include "collect/Index.h"
#include "collect/Record.h"
#include "tests/collect/CollectServerProcess.h"
#include "tests/collect/CollectTestSupport.h"
#include "upload/HttpUpload.h"
#include "wave/WaveCheck.h"

using namespace orvant;
using namespace orvant::collect;
using namespace orvant::collecttest;
namespace fs = std::filesystem;
using orvant::testing::ReadFile;
using orvant::testing::TScratchDir;
using orvant::testing::WriteFile;
using orvant::testsupport::RunCommand;

namespace {

std::string Sha(const std::string& bytes) {
    TSha256 h;
    h.Update(bytes.data(), bytes.size());
    return h.Hex();
}

// Every upload folder of the store (relative), sorted.
std::vector<std::string> Folders(const std::string& store) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& day : fs::directory_iterator(store + "/uploads", ec))
        for (const auto& up : fs::directory_iterator(day.path(), ec))
            out.push_back(fs::relative(up.path(), store).string());
    std::sort(out.begin(), out.end());
    return out;
}

bool TmpEmpty(const std::string& store) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::is_empty(store + "/tmp")) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs orvant-collect with args; its exit status.
int RunCollect(const std::string& args) {
    std::string cmd = "'";
    cmd += CollectBinary();
    cmd += "' ";
    cmd += args;
    int status = -1;
    RunCommand(cmd, &status);
    return status;
}

TUploadRecord RecordOf(const std::string& folder) {
    TUploadRecord r;
    std::string why;
    EXPECT_TRUE(ParseUploadJson(ReadFile(folder + "/upload.json"), r, why)) << why;
    return r;
}

const std::string kInfo = "Speakername=Zo\xC3\xAB\r\nCountry=NZ\r\nRegion=Otago\r\n";

// A small archive of info.txt and one take; seed makes it unique.
std::string SmallArchive(int seed) {
    return Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"p001.wav", Wave(orvant::testing::PseudoAudio(20000, uint32_t(seed))));
}

std::string Body(const std::string& boundary, const std::string& archive, const std::string& name = "v261209150000123.zlb") {
    const TMultipartFrame f = MakeMultipartFrame(boundary, name);
    return f.head + archive + f.tail;
}

const std::string kB = "--------120926150000123";
const std::string kType = "multipart/form-data; boundary=" + kB;

}  // namespace

TEST(CollectServer, KeepsTheProgramsUploadWholeCountsDuplicatesAndReindexes) {
    TScratchDir d;
    const std::string store = d / "store";
    // Takes: a good one, a short quiet one, and a ".wav" that is no WAVE file.
    WriteFile(d / "info.txt", kInfo);
    const std::string good = Wave(orvant::testing::PseudoAudio(88200 * 2, 3));
    WriteFile(d / "p001.wav", good);
    WriteFile(d / "p002.wav", Wave(std::string(4000, '\0')));
    WriteFile(d / "p003.wav", "not a wave");
    ASSERT_TRUE(BuildVoiceArchive({d / "info.txt", d / "p001.wav", d / "p002.wav", d / "p003.wav"},
                                  d / "v261209150000123.zlb"));
    const std::string archive = ReadFile(d / "v261209150000123.zlb");
    // A second speaker whose info.txt is Latin-1.
    fs::create_directory(d / "b");
    WriteFile(d / "b/info.txt", "Speakername=J\xF6rg\r\nCountry=DE\r\nRegion=\r\n");
    WriteFile(d / "b/x1.wav", good);
    ASSERT_TRUE(BuildVoiceArchive({d / "b/info.txt", d / "b/x1.wav"}, d / "V261209150000456.ZLB"));

    std::string sha = Sha(archive), folder;
    {
        TCollectProcess server(store);
        THttpClient client;
        const TUploadResult r = UploadArchiveTo(client, server.Url(), d / "v261209150000123.zlb");
        ASSERT_EQ(r.outcome, TUploadOutcome::uoAccepted) << r.status << " " << r.reply << " " << r.error;
        EXPECT_EQ(r.reply, "E=0");
        ASSERT_EQ(UploadArchiveTo(client, server.Url(), d / "V261209150000456.ZLB").outcome, TUploadOutcome::uoAccepted);
        // The same archive again: answered, not stored twice.
        ASSERT_EQ(UploadArchiveTo(client, server.Url(), d / "v261209150000123.zlb").outcome, TUploadOutcome::uoAccepted);
        EXPECT_TRUE(server.WaitLog("POST /phpu/sndupload.php 200", 3));
        EXPECT_TRUE(server.WaitLog(sha + " duplicate of"));
        EXPECT_EQ(server.Stop(), 0);
    }
    const std::vector<std::string> folders = Folders(store);
    ASSERT_EQ(folders.size(), 2u);
    for (const std::string& f : folders)
        if (f.find("v261209150000123.zlb-" + sha.substr(0, 12)) != std::string::npos) folder = f;
    ASSERT_FALSE(folder.empty()) << folders[0];
    const std::string up = store + "/" + folder;
    EXPECT_EQ(ReadFile(up + "/v261209150000123.zlb"), archive);
    EXPECT_EQ(ReadFile(up + "/p001.wav"), good);
    EXPECT_EQ(ReadFile(up + "/p003.wav"), "not a wave");
    EXPECT_EQ(ReadFile(up + "/info.txt"), kInfo);
    EXPECT_EQ(RunCollect("verify '" + up + "/v261209150000123.zlb'"), 0);

    const TUploadRecord rec = RecordOf(up);
    EXPECT_EQ(rec.sha256, sha);
    EXPECT_EQ(rec.bytes, archive.size());
    EXPECT_EQ(rec.folder, folder);
    EXPECT_EQ(rec.client, "127.0.0.1");
    EXPECT_EQ(rec.speaker.name, "Zo\xC3\xAB");
    EXPECT_EQ(rec.speaker.encoding, "utf-8");
    ASSERT_EQ(rec.entries.size(), 4u);
    EXPECT_EQ(rec.entries[0].name, "info.txt");
    EXPECT_FALSE(rec.entries[0].take);
    EXPECT_EQ(rec.entries[1].sha256, Sha(good));
    ASSERT_TRUE(rec.entries[1].hasWave);
    EXPECT_EQ(rec.entries[1].wave.rate, 22050u);
    EXPECT_EQ(rec.entries[1].wave.durationMs, 2000u);
    // The take check's words, whatever they are, as the program gives them.
    const auto words = [&](const std::string& take) {
        TEntryRecord e;
        CheckTake(take, e);
        return e.flags;
    };
    EXPECT_EQ(rec.entries[1].flags, words(d / "p001.wav"));
    EXPECT_EQ(words(d / "p001.wav"), words(up + "/p001.wav"));
    EXPECT_EQ(TakeFlagWords(CheckTakeFile(d / "p002.wav").flags, ", "), "too quiet, very short");
    EXPECT_EQ(rec.entries[2].flags, (std::vector<std::string>{"too quiet", "very short"}));
    EXPECT_FALSE(rec.entries[3].hasWave);
    EXPECT_EQ(rec.entries[3].flags, std::vector<std::string>{"not a readable WAVE file"});
    const std::string other = folders[0] == folder ? folders[1] : folders[0];
    EXPECT_NE(other.find("/v261209150000456.zlb-"), std::string::npos);  // the name as the program sends it
    const TUploadRecord latin = RecordOf(store + "/" + other);
    EXPECT_EQ(latin.speaker.encoding, "latin-1");
    EXPECT_EQ(latin.speaker.name, "J\xC3\xB6rg");
    EXPECT_EQ(latin.speaker.rawName, "4af67267");
    EXPECT_EQ(ReadFile(up + "/duplicates.log").find("127.0.0.1 v261209150000123.zlb\n"), 21u);

    for (int round = 0; round < 2; ++round) {  // as served, then rebuilt from the folders
        {
            std::unique_ptr<TUploadIndex> index = OpenSqliteIndex(store + "/index.sqlite");
            EXPECT_EQ(index->Uploads(), 2);
            EXPECT_EQ(index->Duplicates(sha), 1);
            EXPECT_EQ(index->FolderOf(sha), folder);
        }
        EXPECT_EQ(RunCollect("reindex --store '" + store + "'"), 0);
    }
}

TEST(CollectServer, RefusesHostileRequestsClearlyLeavingNothingAndServingOn) {
    TScratchDir d;
    const std::string store = d / "store";
    TCollectProcess server(store, {"--max-body", "3000000"});
    const std::string good = Body(kB, SmallArchive(1));
    const TMultipartFrame f = MakeMultipartFrame(kB, "v261209150000123.zlb");
    const std::string nameField = f.head.substr(0, f.head.find("\r\n--" + kB) + 2);
    const std::string filePart = f.head.substr(nameField.size());
    const std::string past = Int32(1) + Int32(8) + Name16(u"a.x") + Int32(10) + Deflate(std::string(100, 'a'));
    const std::string endless = [] {
        const std::string e = Entry(u"a.wav", orvant::testing::PseudoAudio(50000, 1));
        return Int32(1) + e.substr(0, e.size() - 100);
    }();

    struct TCase {
        const char* what;
        std::string request;
        int status;        // 0: no answer, the client went away
        std::string note;  // in the reply and the log line
        bool halfClose = false;
    } cases[] = {
        {"truncated body", PostRequest(good, kType, good.size() + 1000), 0, "connection ended", true},
        {"Content-Length short of the body", PostRequest(good, kType, good.size() - 200), 400, "closing boundary"},
        {"no boundary in the type", PostRequest(good, "multipart/form-data"), 400, "not multipart/form-data"},
        {"boundary missing in the body", PostRequest(f.head + SmallArchive(2), kType), 400, "closing boundary"},
        {"boundary repeated", PostRequest("--" + kB + "\r\n" + good, kType), 400, "malformed part header"},
        {"count of 2^31", PostRequest(Body(kB, Int32(int32_t(0x80000000u)) + SmallArchive(3).substr(4)), kType), 400,
         "entry count -2147483648 out of range"},
        {"name length -1", PostRequest(Body(kB, Int32(1) + Int32(-1) + std::string(40, 'x')), kType), 400,
         "name length -1"},
        {"name leaving the folder", PostRequest(Body(kB, Int32(1) + Entry(u"../x", "x")), kType), 400,
         "folder separator"},
        {"zlib stream that never ends", PostRequest(Body(kB, endless), kType), 400, "ends inside the zlib stream"},
        {"entry inflating past its size", PostRequest(Body(kB, past), kType), 400, "inflates past its declared size"},
        {"no info.txt", PostRequest(Body(kB, Int32(1) + Entry(u"a.wav", "x")), kType), 400, "no info.txt"},
        {"an entry named upload.json",
         PostRequest(Body(kB, Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"upload.json", "{}")), kType), 400,
         "would replace a file of the store"},
        {"archive name leaving the folder", PostRequest(Body(kB, SmallArchive(4), "../../x.zlb"), kType), 400,
         "archive name"},
        {"unexpected field", PostRequest("--" + kB + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n--" +
                                             kB + "--\r\n", kType), 400, "unexpected field"},
        {"body above the limit", PostRequest("", kType, 3000001), 413, "larger than the limit"},
        {"no Content-Length", "POST /phpu/sndupload.php HTTP/1.0\r\nContent-Type: " + kType + "\r\n\r\n", 411,
         "Content-Length required"},
        {"fields in the other order", PostRequest(filePart + SmallArchive(5) + "\r\n" + nameField + "--" + kB + "--\r\n", kType),
         200, ""},
        {"another path", "GET /index.html HTTP/1.0\r\n\r\n", 404, "no such path"},
        {"another method", "GET /phpu/sndupload.php HTTP/1.0\r\n\r\n", 405, "method not allowed"},
    };
    size_t stored = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        const TReply r = Exchange(server.Port(), c.request, c.halfClose);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.status == 200) {
            EXPECT_EQ(r.body, "E=0");
            ++stored;
        } else {
            EXPECT_NE(r.body.find("E=0"), 0u);
            if (c.status) {
                EXPECT_NE(r.body.find(c.note), std::string::npos) << r.body;
            }
            EXPECT_TRUE(server.WaitLog(c.note)) << server.Log();
        }
        EXPECT_TRUE(TmpEmpty(store));
        EXPECT_EQ(Folders(store).size(), stored);
        // Still serving: a good upload right after.
        const TReply ok = Exchange(server.Port(), PostRequest(Body(kB, SmallArchive(100 + int(stored))), kType));
        EXPECT_EQ(ok.status, 200) << ok.body;
        ++stored;
    }
    // One log line per request, each with its status. A request's line is
    // written when its connection ends, which may come after the client has
    // its answer: wait for the lines, then stop.
    const auto logLines = [&server] {
        const std::string log = server.Log();
        size_t lines = log.rfind("20", 0) == 0;
        for (size_t at = log.find("\n20"); at != std::string::npos; at = log.find("\n20", at + 1)) ++lines;
        return lines;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (logLines() < 2 * std::size(cases) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(logLines(), 2 * std::size(cases)) << server.Log();
}

namespace {

// Whether the server closed s within the deadline (end of file or reset).
bool ClosedByServer(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(s, &c, 1, MSG_DONTWAIT) <= 0;
}

// How many of sockets the server closed, waiting until want are or the
// deadline passes.
int WaitClosed(const std::vector<int>& sockets, int want, int ms) {
    std::vector<bool> closed(sockets.size());
    int n = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (n < want && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> p;
        for (size_t i = 0; i < sockets.size(); ++i)
            if (!closed[i]) p.push_back({sockets[i], POLLIN, 0});
        if (::poll(p.data(), p.size(), 100) < 0) break;
        for (size_t i = 0, k = 0; i < sockets.size(); ++i) {
            if (closed[i]) continue;
            if (sockets[i] < 0 || ((p[k].revents & (POLLIN | POLLHUP | POLLERR)) && ClosedByServer(sockets[i], 0))) {
                closed[i] = true;
                ++n;
            }
            ++k;
        }
    }
    return n;
}

// A larger upload (about 1 MB) to cut in two.
std::string LargeArchive(int seed) {
    return Int32(2) + Entry(u"info.txt", kInfo) +
           Entry(u"p001.wav", Wave(orvant::testing::PseudoAudio(3000000, uint32_t(seed))));
}

void SendAll(int s, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t k = ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (k <= 0) return;
        sent += size_t(k);
    }
}

}  // namespace

TEST(CollectServer, SigtermFinishesOrDropsTheUploadInFlightWholeAndExitsZero) {
    struct TCase {
        const char* what;
        const char* grace;
        bool sendRest;  // the client finishes its body after the signal
    } cases[] = {{"finished within the grace period", "30", true}, {"cut off by the grace period", "1", false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TScratchDir d;
        const std::string store = d / "store";
        TCollectProcess server(store, {"--grace", c.grace});
        const std::string request = PostRequest(Body(kB, LargeArchive(1)), kType);
        const int s = Connect(server.Port());
        ASSERT_GE(s, 0);
        const size_t half = request.size() / 2;
        SendAll(s, request.substr(0, half));
        // The upload is in flight once its folder exists in tmp/.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (fs::is_empty(store + "/tmp") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(fs::is_empty(store + "/tmp"));
        ::kill(server.Pid(), SIGTERM);
        ASSERT_TRUE(server.WaitLog("stopping"));
        // No longer accepting: the listening socket is closed at once, but the
        // library's polling thread lets go of it when it next wakes, and until
        // then the system may still complete a connection.
        int probe = Connect(server.Port());
        for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             probe >= 0 && std::chrono::steady_clock::now() < until; probe = Connect(server.Port())) {
            ::close(probe);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_LT(probe, 0);
        std::string reply;
        if (c.sendRest) {
            SendAll(s, request.substr(half));
            char buf[4096];
            pollfd p{s, POLLIN, 0};
            while (::poll(&p, 1, 60000) > 0) {
                const ssize_t k = ::recv(s, buf, sizeof buf, 0);
                if (k <= 0) break;
                reply.append(buf, size_t(k));
            }
        }
        EXPECT_EQ(server.Stop(), 0) << server.Log();
        ::close(s);
        const std::vector<std::string> folders = Folders(store);
        if (c.sendRest) {
            ASSERT_NE(reply.find("\r\n\r\nE=0"), std::string::npos) << reply;
            ASSERT_EQ(folders.size(), 1u);
            EXPECT_EQ(RunCollect("verify '" + store + "/" + folders[0] + "/v261209150000123.zlb'"), 0);
        } else {
            EXPECT_TRUE(folders.empty());
            EXPECT_TRUE(server.WaitLog("grace period over"));
        }
        EXPECT_TRUE(fs::is_empty(store + "/tmp"));
    }
}

TEST(CollectServer, SlowAndSilentClientsAreBoundedAndANormalUploadStillGoesThrough) {
    TScratchDir d;
    const std::string store = d / "store";
    TCollectProcess server(store, {"--idle-timeout", "2", "--per-address", "8", "--max-connections", "16"});
    const std::string request = PostRequest(Body(kB, SmallArchive(9)), kType);
    // 100 clients from one address trickling a request a byte a second.
    std::vector<int> slow;
    for (int i = 0; i < 100; ++i) slow.push_back(Connect(server.Port(), "127.0.0.1"));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (size_t at = 0; !stop; ++at) {
            for (int s : slow)
                if (s >= 0) ::send(s, request.data() + at % request.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // The per-address limit keeps 8 and closes the rest at once.
    EXPECT_EQ(WaitClosed(slow, 92, 30000), 92);
    // Silent clients from a second address fill the connection limit ...
    std::vector<int> silent;
    for (int i = 0; i < 8; ++i) silent.push_back(Connect(server.Port(), "127.0.0.3"));
    const int extra = Connect(server.Port(), "127.0.0.4");
    EXPECT_TRUE(extra < 0 || ClosedByServer(extra, 10000));  // ... past which connections are refused
    // ... and are closed once idle for 2 s.
    EXPECT_EQ(WaitClosed(silent, 8, 30000), 8);
    // Meanwhile a normal upload from a third address is answered.
    const auto t0 = std::chrono::steady_clock::now();
    const TReply ok = Exchange(server.Port(), request, false, "127.0.0.2");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(ok.status, 200) << ok.body;
    std::printf("normal upload beside the slow clients answered in %.3f s\n", seconds);
    // The 8 slow clients kept sending, so they are still connected.
    int open = 0;
    for (int s : slow) open += s >= 0 && !ClosedByServer(s, 0);
    EXPECT_EQ(open, 8);
    stop = true;
    trickle.join();
    for (int s : slow) ::close(s);
    for (int s : silent) ::close(s);
    if (extra >= 0) ::close(extra);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(Folders(store).size(), 1u);
}

TEST(CollectServer, AFullDiskMidUploadAnswers507AndLeavesNothing) {
    TScratchDir d;
    const std::string store = d / "store";
    fs::create_directory(store);
    int status = -1;
    RunCommand("mount -t tmpfs -o size=2m tmpfs '" + store + "' 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "mounting a small tmpfs is not permitted here";
    struct TUnmount {
        std::string path;
        ~TUnmount() { RunCommand("umount '" + path + "'"); }
    } unmount{store};
    {
        TCollectProcess server(store);
        // 1.5 MB that does not compress: the archive and its entry do not both fit.
        std::string noise(1500000, '\0');
        uint32_t x = 1;
        for (char& ch : noise) ch = char((x = x * 1103515245u + 12345u) >> 23);
        const std::string archive = Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"p001.wav", Wave(noise));
        const TReply full = Exchange(server.Port(), PostRequest(Body(kB, archive), kType));
        EXPECT_EQ(full.status, 507) << full.body;
        EXPECT_NE(full.body.find("no space left"), std::string::npos) << full.body;
        EXPECT_TRUE(server.WaitLog("507"));
        EXPECT_TRUE(TmpEmpty(store));
        EXPECT_TRUE(Folders(store).empty());
        // Room again once the big one is gone: a small upload is kept.
        EXPECT_EQ(Exchange(server.Port(), PostRequest(Body(kB, SmallArchive(11)), kType)).status, 200);
        EXPECT_EQ(server.Stop(), 0);
    }
    EXPECT_EQ(Folders(store).size(), 1u);
}

TEST(CollectServer, ServesTlsWithTheGivenCertificate) {
    TScratchDir d;
    int status = -1;
    RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + d / "key.pem" + "' -out '" + d / "cert.pem" +
                   "' -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    const std::string store = d / "store";
    WriteFile(d / "v261209150000123.zlb", SmallArchive(12));
    TCollectProcess server(store, {"--tls-cert", d / "cert.pem", "--tls-key", d / "key.pem"});
    const std::string curl = "curl -s --max-time 60 --cacert '" + d / "cert.pem" + "' -F filename=v261209150000123.zlb -F 'sndfile=@" +
                             d / "v261209150000123.zlb" + "' ";
    EXPECT_EQ(RunCommand(curl + server.Url("https"), &status), "E=0");
    EXPECT_EQ(status, 0);
    // Plain HTTP on the TLS port gets no upload in.
    EXPECT_NE(RunCommand(curl + server.Url("http")), "E=0");
    // Without the certificate the client refuses the server.
    RunCommand("curl -s --max-time 60 -o /dev/null " + server.Url("https"), &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(server.Stop(), 0);
    const std::vector<std::string> folders = Folders(store);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(ReadFile(store + "/" + folders[0] + "/v261209150000123.zlb"), SmallArchive(12));
}
