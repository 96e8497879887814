#include "collect/Http.h"

#include "collect/Files.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace orvant::collect {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string AddressText(const sockaddr* sa) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (!sa) return buf;
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
    return buf;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<THeaders*>(cls)->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

}  // namespace

const std::string* THttpRequest::Header(std::string_view name) const {
    for (const auto& [k, v] : headers)
        if (SameText(k, name)) return &v;
    return nullptr;
}

THttpResponse THttpResponse::Text(int status, std::string body, std::string note) {
    THttpResponse r;
    r.status = status;
    r.body = std::move(body);
    r.note = std::move(note);
    return r;
}

struct THttpServer::TRequestState {
    std::string uri;  // as sent, with the query
    THttpRequest request;
    std::unique_ptr<TBodyHandler> body;
    bool begun = false;
    bool answered = false;
    bool chunked = false;                  // the body has no Content-Length
    std::optional<THttpResponse> refusal;  // the handler stopped the body early
    int status = 0;
    uint64_t received = 0;
    std::string note;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

THttpServer::THttpServer(THttpOptions options) : fOptions(std::move(options)) {
    log = [](const std::string& line) {
        std::fputs((line + "\n").c_str(), stderr);
        std::fflush(stderr);
    };
}

THttpServer::~THttpServer() { Stop(); }

void THttpServer::Get(std::string path, TGetHandler handler) {
    fRoutes.push_back({std::move(path), std::move(handler), {}});
}
void THttpServer::Post(std::string path, TBodyFactory factory) {
    fRoutes.push_back({std::move(path), {}, std::move(factory)});
}

const THttpServer::TRoute* THttpServer::Find(const std::string& path, bool& pathKnown,
                                             const std::string& method) const {
    pathKnown = false;
    const bool get = method == "GET" || method == "HEAD";
    for (const TRoute& r : fRoutes) {
        const bool match = r.path == path || (!r.path.empty() && r.path.back() == '/' &&
                                              path.compare(0, r.path.size(), r.path) == 0);
        if (!match) continue;
        pathKnown = true;
        if ((get && r.get) || (method == "POST" && r.post)) return &r;
    }
    return nullptr;
}

int THttpServer::Queue(void* connection, TRequestState& r, THttpResponse response) {
    MHD_Response* m;
    if (response.fd >= 0) {
        m = MHD_create_response_from_fd_at_offset64(response.length, response.fd, response.offset);
    } else {
        m = MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!m) return MHD_NO;
    bool typed = false;
    for (const auto& [k, v] : response.headers) {
        MHD_add_response_header(m, k.c_str(), v.c_str());
        typed = typed || SameText(k, "Content-Type");
    }
    if (!typed) MHD_add_response_header(m, "Content-Type", "text/plain; charset=utf-8");
    r.answered = true;
    r.status = response.status;
    if (!response.note.empty()) r.note = response.note;
    const MHD_Result ok =
        MHD_queue_response(static_cast<MHD_Connection*>(connection), unsigned(response.status), m);
    MHD_destroy_response(m);
    return ok;
}

int THttpServer::Access(void* cls, void* connection, const char* url, const char* method, const char* version,
                        const char* uploadData, size_t* uploadSize, void** state) {
    auto* self = static_cast<THttpServer*>(cls);
    auto* c = static_cast<MHD_Connection*>(connection);
    auto* r = static_cast<TRequestState*>(*state);
    if (!r) return MHD_NO;  // the URI callback always makes one
    if (!r->begun) {
        r->begun = true;
        THttpRequest& q = r->request;
        q.method = method ? method : "";
        q.version = version ? version : "";
        const size_t mark = r->uri.find('?');
        q.path = url ? url : "";
        if (mark != std::string::npos) q.query = r->uri.substr(mark + 1);
        MHD_get_connection_values(c, MHD_HEADER_KIND, &CollectHeader, &q.headers);
        const MHD_ConnectionInfo* ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        q.client = AddressText(ci ? ci->client_addr : nullptr);
        q.tls = !self->fOptions.tlsCertPem.empty();

        bool known;
        const TRoute* route = self->Find(q.path, known, q.method);
        if (!route) {
            if (!known) return self->Queue(c, *r, THttpResponse::Text(404, "no such path\n", "no such path"));
            THttpResponse no = THttpResponse::Text(405, "method not allowed\n", "method not allowed");
            bool k2;
            no.headers.emplace_back("Allow", self->Find(q.path, k2, "POST") ? "POST" : "GET, HEAD");
            return self->Queue(c, *r, std::move(no));
        }
        if (route->get) return self->Queue(c, *r, route->get(q));
        r->chunked = !q.Header("Content-Length");
        r->body = route->post();
        ++self->fBodies;
        if (std::optional<THttpResponse> refuse = r->body->Begin(q)) return self->Queue(c, *r, std::move(*refuse));
        return MHD_YES;
    }
    if (r->answered) {  // refused before the body: the rest is not read
        *uploadSize = 0;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        r->received += *uploadSize;
        const size_t n = *uploadSize;
        *uploadSize = 0;
        if (r->refusal) {
            // libmicrohttpd answers only once the body is in: the rest of a
            // body of known length is read and dropped, one without a length
            // is cut off.
            return r->chunked ? MHD_NO : MHD_YES;
        }
        std::optional<THttpResponse> stop = r->body->Data(reinterpret_cast<const uint8_t*>(uploadData), n);
        if (stop) {
            r->refusal = std::move(stop);
            r->note = r->refusal->note;
            r->body.reset();  // undoes its work now, not after the drain
            --self->fBodies;
        }
        return MHD_YES;
    }
    if (r->refusal) return self->Queue(c, *r, std::move(*r->refusal));
    return self->Queue(c, *r, r->body->End());
}

void THttpServer::Completed(void* cls, void*, void** state, int toe) {
    auto* self = static_cast<THttpServer*>(cls);
    std::unique_ptr<TRequestState> r(static_cast<TRequestState*>(*state));
    *state = nullptr;
    if (!r) return;
    if (r->body) {
        r->body.reset();  // a body that did not reach its end undoes itself here
        --self->fBodies;
    }
    if (!r->begun) return;  // nothing but a URI: no request to log
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - r->start).count();
    std::string note = r->note;
    if (toe != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
        static const char* const why[] = {"completed", "server error", "timed out", "server stopped",
                                          "read error", "client went away"};
        const std::string w = toe >= 0 && toe < 6 ? why[toe] : "aborted";
        note = note.empty() ? "connection ended: " + w : note + "; connection ended: " + w;
    }
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.3f", seconds);
    const std::string line = UtcTimestamp() + " " + r->request.client + " " + r->request.method + " " + r->uri + " " +
                             (r->status ? std::to_string(r->status) : std::string("-")) + " " +
                             std::to_string(r->received) + " " + secs + "s" + (note.empty() ? "" : " " + note);
    std::lock_guard<std::mutex> g(self->fLogLock);
    if (self->log) self->log(line);
}

namespace {

MHD_Result AccessThunk(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                       const char* data, size_t* size, void** state);
void CompletedThunk(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode toe);

// libmicrohttpd's own messages, marked as such.
void LogLibrary(void*, const char* fmt, va_list ap) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::string line = buf;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::fprintf(stderr, "orvant-collect: http: %s\n", line.c_str());
}

// Every request's state starts with its URI as sent (the query's raw text is
// not kept otherwise).
void* KeepUri(void*, const char* uri, MHD_Connection*) {
    auto* r = new THttpServer::TRequestState;
    r->uri = uri ? uri : "";
    return r;
}

}  // namespace

void THttpServer::Start() {
    // The address: "A.B.C.D:PORT" or "[V6]:PORT".
    const std::string& l = fOptions.listen;
    const size_t colon = l.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("listen address needs a port: " + l);
    std::string host = l.substr(0, colon);
    const std::string port = l.substr(colon + 1);
    char* end = nullptr;
    const unsigned long p = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end || p > 65535) throw std::runtime_error("bad port in " + l);
    sockaddr_storage ss {};
    bool v6 = false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(p));
        if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) throw std::runtime_error("bad address " + host);
        v6 = true;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(uint16_t(p));
        if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) throw std::runtime_error("bad address " + host);
    }

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC |
                     MHD_USE_ERROR_LOG;
    if (v6) flags |= MHD_USE_IPv6;
    const bool tls = !fOptions.tlsCertPem.empty() || !fOptions.tlsKeyPem.empty();
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> opts = {
        // First, so that the library's own messages from the options after
        // it go to our log too.
        {MHD_OPTION_EXTERNAL_LOGGER, intptr_t(&LogLibrary), nullptr},
        {MHD_OPTION_SOCK_ADDR, 0, &ss},
        {MHD_OPTION_CONNECTION_LIMIT, intptr_t(fOptions.maxConnections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, intptr_t(fOptions.perAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(fOptions.idleSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(256 * 1024), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, intptr_t(&CompletedThunk), this},
        {MHD_OPTION_URI_LOG_CALLBACK, intptr_t(&KeepUri), nullptr},
        {MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr},
    };
    if (tls) {
        opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(fOptions.tlsCertPem.c_str())});
        opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(fOptions.tlsKeyPem.c_str())});
    }
    opts.push_back({MHD_OPTION_END, 0, nullptr});
    fDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &AccessThunk, this, MHD_OPTION_ARRAY, opts.data(),
                               MHD_OPTION_END);
    if (!fDaemon) throw std::runtime_error("cannot listen on " + l + " (address in use, or TLS setup failed)");
    const MHD_DaemonInfo* info = MHD_get_daemon_info(fDaemon, MHD_DAEMON_INFO_BIND_PORT);
    const unsigned bound = info ? info->port : unsigned(p);
    fBound = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
}

std::string THttpServer::BoundAddress() const { return fBound; }

void THttpServer::StopAccepting() {
    if (!fDaemon) return;
    const MHD_socket s = MHD_quiesce_daemon(fDaemon);
    if (s != MHD_INVALID_SOCKET) ::close(s);
}

void THttpServer::Stop() {
    if (!fDaemon) return;
    MHD_stop_daemon(fDaemon);
    fDaemon = nullptr;
}

namespace {

MHD_Result AccessThunk(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                       const char* data, size_t* size, void** state) {
    return THttpServer::Access(cls, c, url, method, version, data, size, state) == MHD_YES ? MHD_YES : MHD_NO;
}
void CompletedThunk(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode toe) {
    THttpServer::Completed(cls, c, state, int(toe));
}

}  // namespace

}  // namespace orvant::collect
