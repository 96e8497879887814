#include "tests/collect/CollectServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/Files.h"

extern char** environ;

namespace orvant::collecttest {

namespace {
using Clock = std::chrono::steady_clock;
}

std::string CollectBinary() { return ORVANT_COLLECT_BINARY; }

TCollectProcess::TCollectProcess(const std::string& store, const std::vector<std::string>& extra) {
    char tmpl[] = "/tmp/orvant-collect-proc-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    fDir = tmpl;
    std::vector<std::string> args = {CollectBinary(), "serve", "--store", store, "--listen", "127.0.0.1:0",
                                     "--allow-root"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (fDir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (fDir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawn(&fPid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + CollectBinary());
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (fPort == 0 && Clock::now() < deadline) {
        const std::string out = testsupport::ReadFile(fDir + "/out");
        const size_t at = out.find("127.0.0.1:");
        if (at != std::string::npos && out.find('\n', at) != std::string::npos) fPort = std::atoi(out.c_str() + at + 10);
        int st;
        if (fPort == 0 && waitpid(fPid, &st, WNOHANG) == fPid) {
            fPid = -1;
            throw std::runtime_error("orvant-collect exited: " + Log());
        }
        if (fPort == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fPort == 0) throw std::runtime_error("orvant-collect did not start: " + Log());
}

TCollectProcess::~TCollectProcess() {
    Stop();
    testsupport::RunCommand("rm -rf '" + fDir + "'");
}

std::string TCollectProcess::Url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(fPort) + "/phpu/sndupload.php";
}

int TCollectProcess::Stop() {
    if (fPid <= 0) return -1;
    ::kill(fPid, SIGTERM);
    int st = 0;
    const pid_t pid = fPid;
    fPid = -1;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string TCollectProcess::Log() const { return testsupport::ReadFile(fDir + "/log"); }

bool TCollectProcess::WaitLog(const std::string& text, int lines) const {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (;;) {
        const std::string log = Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        if (n >= lines) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int Connect(int port, const std::string& source) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &a.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

TReply Exchange(int port, const std::string& request, bool halfClose, const std::string& source) {
    TReply r;
    const int s = Connect(port, source);
    if (s < 0) return r;
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t k = ::send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (k <= 0) break;  // the server may answer and close before all is sent
        sent += size_t(k);
    }
    if (halfClose) ::shutdown(s, SHUT_WR);
    std::string in;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    char buf[65536];
    for (;;) {
        const size_t head = in.find("\r\n\r\n");
        if (head != std::string::npos) {
            const size_t cl = in.find("Content-Length: ");
            if (cl != std::string::npos && cl < head && in.size() >= head + 4 + std::stoul(in.substr(cl + 16))) break;
        }
        pollfd p{s, POLLIN, 0};
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
        const ssize_t k = ::recv(s, buf, sizeof buf, 0);
        if (k <= 0) break;
        in.append(buf, size_t(k));
    }
    ::close(s);
    // A "100 Continue" may come first.
    size_t at = 0;
    while (in.compare(at, 12, "HTTP/1.1 100") == 0 || in.compare(at, 12, "HTTP/1.0 100") == 0) {
        const size_t e = in.find("\r\n\r\n", at);
        if (e == std::string::npos) break;
        at = e + 4;
    }
    if (in.size() >= at + 12 && in.compare(at, 5, "HTTP/") == 0) {
        r.status = std::atoi(in.c_str() + at + 9);
        const size_t head = in.find("\r\n\r\n", at);
        if (head != std::string::npos) r.body = in.substr(head + 4);
    }
    return r;
}

std::string PostRequest(const std::string& body, const std::string& type, size_t length) {
    return "POST /phpu/sndupload.php HTTP/1.0\r\nConnection: keep-alive\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + body;
}
std::string PostRequest(const std::string& body, const std::string& type) {
    return PostRequest(body, type, body.size());
}

}  // namespace orvant::collecttest
