// The real orvant-collect started as a child process on 127.0.0.1 with a
// scratch store, and a raw HTTP client that can misbehave.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvant::collecttest {

class TCollectProcess {
public:
    // Starts "orvant-collect serve --store store --listen 127.0.0.1:0
    // --allow-root" plus extra, and waits until it prints its address.
    TCollectProcess(const std::string& store, const std::vector<std::string>& extra = {});
    ~TCollectProcess();
    TCollectProcess(const TCollectProcess&) = delete;
    TCollectProcess& operator=(const TCollectProcess&) = delete;

    int Port() const { return fPort; }
    std::string Url(const std::string& scheme = "http") const;
    // Sends SIGTERM and returns the exit status (-1 when it did not exit).
    int Stop();
    // The log (standard error) so far; WaitLog waits until it holds text.
    std::string Log() const;
    bool WaitLog(const std::string& text, int lines = 1) const;
    pid_t Pid() const { return fPid; }

private:
    std::string fDir;
    pid_t fPid = -1;
    int fPort = 0;
};

struct TReply {
    int status = 0;  // 0: no response (connection closed)
    std::string body;
};

// Connects from source (a loopback address) to port, sends request and reads
// the reply; with halfClose the sending side is shut after the request.
TReply Exchange(int port, const std::string& request, bool halfClose = false, const std::string& source = "127.0.0.1");
// A connected socket from source, or -1.
int Connect(int port, const std::string& source = "127.0.0.1");
// A raw POST of body to the upload path with the given type and length.
std::string PostRequest(const std::string& body, const std::string& type, size_t length);
std::string PostRequest(const std::string& body, const std::string& type);

// The collect binary.
std::string CollectBinary();

}  // namespace orvant::collecttest
