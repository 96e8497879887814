// The server's HTTP layer over libmicrohttpd: requests and responses as plain
// values, GET routes answered by a function, POST routes whose body is
// streamed into a handler as it arrives. Routes are registered before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace orvant::collect {

using THeaders = std::vector<std::pair<std::string, std::string>>;

struct THttpRequest {
    std::string method;   // "GET", "POST", ...
    std::string path;     // without the query
    std::string query;    // the raw text after '?', empty when none
    std::string version;  // "HTTP/1.0", "HTTP/1.1"
    THeaders headers;     // as sent
    std::string client;   // the peer's numeric address
    bool tls = false;     // arrived over TLS
    // The value of the first header called name (any case), nullptr when none.
    const std::string* Header(std::string_view name) const;
};

struct THttpResponse {
    int status = 200;
    THeaders headers;  // Content-Type defaults to text/plain
    std::string body;
    // A file region instead of the body: fd is handed to the response, which
    // sends length bytes from offset and closes it.
    int fd = -1;
    uint64_t offset = 0, length = 0;
    // What the request's log line says after the status: a reason, a hash.
    std::string note;

    static THttpResponse Text(int status, std::string body, std::string note = {});
};

using TGetHandler = std::function<THttpResponse(const THttpRequest&)>;

// The consumer of one POST body. Destroyed when the request ends, also when
// it ends early (the client went away, the server stops): a handler whose
// End never ran undoes its work in its destructor.
class TBodyHandler {
public:
    virtual ~TBodyHandler() = default;
    // Before the body: a response refuses the request without reading it.
    virtual std::optional<THttpResponse> Begin(const THttpRequest& request) = 0;
    // The next bytes; a response ends the handler's part at once: the
    // handler is destroyed, the rest of the body dropped as it arrives (a
    // body without Content-Length is cut off instead) and the response sent.
    virtual std::optional<THttpResponse> Data(const uint8_t* data, size_t n) = 0;
    // The body is complete.
    virtual THttpResponse End() = 0;
};
using TBodyFactory = std::function<std::unique_ptr<TBodyHandler>()>;

struct THttpOptions {
    std::string listen = "127.0.0.1:8080";  // "ADDR:PORT", "[V6ADDR]:PORT"; port 0 picks one
    std::string tlsCertPem, tlsKeyPem;      // both set: serve TLS
    unsigned maxConnections = 64;
    unsigned perAddress = 8;
    unsigned idleSeconds = 60;  // a connection silent this long is closed
};

class THttpServer {
public:
    explicit THttpServer(THttpOptions options);
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // path is exact, or a prefix when it ends in '/'. A GET route answers
    // HEAD too. Register before Start.
    void Get(std::string path, TGetHandler handler);
    void Post(std::string path, TBodyFactory factory);

    // Starts listening; raises std::runtime_error when it cannot.
    void Start();
    // "ADDR:PORT" as bound.
    std::string BoundAddress() const;
    // Stops accepting connections; requests already in flight go on.
    void StopAccepting();
    // Bodies being received now (POST requests between Begin and their end).
    unsigned BodiesInFlight() const { return fBodies.load(); }
    // Closes every connection and joins the server's threads.
    void Stop();

    // Receives one line per finished request; standard error by default.
    std::function<void(const std::string& line)> log;

    // The layer's own: one request's state and libmicrohttpd's callbacks.
    struct TRequestState;
    static int Access(void* cls, void* connection, const char* url, const char* method, const char* version,
                      const char* uploadData, size_t* uploadSize, void** state);
    static void Completed(void* cls, void* connection, void** state, int toe);

private:
    struct TRoute {
        std::string path;
        TGetHandler get;
        TBodyFactory post;
    };
    const TRoute* Find(const std::string& path, bool& pathKnown, const std::string& method) const;
    int Queue(void* connection, TRequestState& r, THttpResponse response);

    THttpOptions fOptions;
    std::vector<TRoute> fRoutes;
    MHD_Daemon* fDaemon = nullptr;
    std::string fBound;
    std::atomic<unsigned> fBodies{0};
    std::mutex fLogLock;
};

}  // namespace orvant::collect
