#include "tests/upload/UploadTestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace orvant::testing {

namespace fs = std::filesystem;

namespace {
std::string ServerScript() { return std::string(ORVANT_SOURCE_DIR) + "/tests/upload/collection_server.py"; }
}  // namespace

std::string PseudoAudio(size_t bytes, uint32_t seed) {
    std::string s(bytes, '\0');
    uint32_t x = seed * 2654435761u + 1;
    int v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1664525u + 1013904223u;
        v += int((x >> 24) & 7) - 3;
        v = v > 60 ? 60 : v < -60 ? -60 : v;
        s[i] = char(128 + v + int((i / 50) % 16));
    }
    return s;
}

TCollectionServer::TCollectionServer(const std::string& mode, const std::string& sourceDir,
                                     const std::vector<std::string>& extraArgs) {
    fSaveDir = fDir / "saved";
    const std::string portFile = fDir / "port";
    std::vector<std::string> args = {"python3", ServerScript(), "--port", "0", "--port-file", portFile,
                                     "--save-dir", fSaveDir, "--mode", mode};
    if (!sourceDir.empty()) {
        args.push_back("--source-dir");
        args.push_back(sourceDir);
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&fPid, "python3", nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start the collection server");
    for (int i = 0; i < 1200 && fPort == 0; ++i) {  // up to two minutes on a loaded machine
        std::ifstream f(portFile);
        if (!(f >> fPort)) fPort = 0;
        if (fPort == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fPort == 0) throw std::runtime_error("the collection server did not start");
}

TCollectionServer::~TCollectionServer() {
    if (fPid > 0) {
        ::kill(fPid, SIGTERM);
        int st = 0;
        ::waitpid(fPid, &st, 0);
    }
}

bool TCollectionServer::HasRecord(int n) const {
    return fs::exists(fSaveDir + "/" + std::to_string(n) + ".json");
}

std::string TCollectionServer::WaitRecord(int n) const {
    for (int i = 0; i < 1200 && !HasRecord(n); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return HasRecord(n) ? ReadFile(fSaveDir + "/" + std::to_string(n) + ".json") : std::string();
}

bool TCollectionServer::Held(int n) const { return fs::exists(fSaveDir + "/" + std::to_string(n) + ".held"); }

void TCollectionServer::Release() const { WriteFile(fSaveDir + "/release", ""); }

int UnusedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::string CheckArchiveWithPython(const std::string& archive, const std::string& sourceDir, bool& ok) {
    std::string cmd = "python3 '" + ServerScript() + "' --check '" + archive + "'";
    if (!sourceDir.empty()) cmd += " --source-dir '" + sourceDir + "'";
    int status = -1;
    const std::string out = testsupport::RunCommand(cmd, &status);
    ok = status == 0;
    return out;
}

}  // namespace orvant::testing
