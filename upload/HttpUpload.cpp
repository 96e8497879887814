#include "upload/HttpUpload.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "upload/UFileUtils.h"

#ifndef ORVANT_UPLOAD_HOST_DEFAULT
#define ORVANT_UPLOAD_HOST_DEFAULT "127.0.0.1"
#endif
#ifndef ORVANT_UPLOAD_CA_FILE_DEFAULT
#define ORVANT_UPLOAD_CA_FILE_DEFAULT ""
#endif

namespace orvant {

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* env = std::getenv(name);
    return env && *env ? env : fallback;
}

bool IsHttpsUrl(const std::string& url) { return url.compare(0, 8, "https://") == 0; }

}  // namespace

std::string CollectionServerUrl() {
    std::string host = FromEnvironment("ORVANT_UPLOAD_HOST", ORVANT_UPLOAD_HOST_DEFAULT);
    std::string scheme = "http://";
    for (const char* s : {"https://", "http://"}) {
        if (host.compare(0, std::strlen(s), s) == 0) {
            scheme = s;
            host.erase(0, std::strlen(s));
            break;
        }
    }
    while (!host.empty() && host.back() == '/') host.pop_back();
    return scheme + host + "/phpu/sndupload.php";
}

std::string CollectionServerCaFile() {
    const std::string file = FromEnvironment("ORVANT_UPLOAD_CA_FILE", ORVANT_UPLOAD_CA_FILE_DEFAULT);
    // A kit carries its authority beside the program ("ca.pem").
    return file.empty() || file[0] == '/' ? file : ProgramFolder() + file;
}

namespace {

// Quoted-printable (RFC 2045) of a one-line value such as the archive's
// name, followed by the line's CRLF: printable ASCII but "=" stays, every
// other byte becomes =XX, and a soft break keeps lines under 76 characters.
std::string QuotedPrintableLine(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t column = 0;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = c >= 33 && c <= 126 && c != '=';
        const size_t width = plain ? 1 : 3;
        if (column + width > 75) {
            out += "=\r\n";
            column = 0;
        }
        if (plain) out += ch;
        else out += {'=', hex[c >> 4], hex[c & 15]};
        column += width;
    }
    return out + "\r\n";
}

}  // namespace

TMultipartFrame MakeMultipartFrame(const std::string& boundary, const std::string& fileName) {
    TMultipartFrame f;
    f.boundary = boundary;
    const std::string delim = "--" + boundary + "\r\n";
    f.head = delim +
             "Content-Disposition: form-data; name=\"filename\"\r\n"
             "Content-Type: text/plain\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n"
             "\r\n" +
             QuotedPrintableLine(fileName) + delim +
             "Content-Disposition: form-data; name=\"sndfile\"; filename=\"" + fileName +
             "\"\r\n"
             "Content-Type: application/octet-stream\r\n"
             "Content-Transfer-Encoding: binary\r\n"
             "\r\n";
    f.tail = "\r\n--" + boundary + "--\r\n";
    return f;
}

std::string NewMultipartBoundary() { return "--------" + FormatLocalTime("mmddyyhhnnsszzz"); }

bool IsAcceptedReply(const std::string& reply) {
    size_t b = 0, e = reply.size();
    while (b < e && static_cast<unsigned char>(reply[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(reply[e - 1]) <= 32) --e;
    return reply.compare(b, e - b, "E=0") == 0;
}

// ------------------------------------------------------------ THttpClient

namespace {
constexpr size_t kMaxReplyBody = 64 * 1024;
std::once_flag gCurlInit;
}  // namespace

struct THttpClient::Impl {
    THttpClient& owner;
    CURL* curl = nullptr;

    // State of the running request.
    const std::string* head = nullptr;
    const std::string* tail = nullptr;
    TFileStream* file = nullptr;
    int64_t fileLeft = 0;
    size_t headPos = 0, tailPos = 0;
    bool readFailed = false;
    bool replyStarted = false;
    bool bodyTruncated = false;
    std::string body;
    std::string callbackError;

    explicit Impl(THttpClient& o) : owner(o) {
        std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        curl = curl_easy_init();
        if (!curl) throw Exception("Unable to create the HTTP client.");
        // Cookies are accepted and kept for the client's lifetime.
        curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
    }
    ~Impl() { curl_easy_cleanup(curl); }

    static size_t Read(char* buf, size_t size, size_t n, void* p) {
        auto* self = static_cast<Impl*>(p);
        if (self->owner.fDisconnectRequested) return CURL_READFUNC_ABORT;
        const size_t want = size * n;
        size_t done = 0;
        auto copy = [&](const std::string& s, size_t& pos) {
            const size_t k = std::min(want - done, s.size() - pos);
            std::copy_n(s.data() + pos, k, buf + done);
            pos += k;
            done += k;
        };
        copy(*self->head, self->headPos);
        while (done < want && self->headPos == self->head->size() && self->fileLeft > 0) {
            const int32_t k = int32_t(std::min<int64_t>(int64_t(want - done), std::min<int64_t>(self->fileLeft, 1 << 30)));
            const int32_t got = self->file->Read(buf + done, k);
            if (got <= 0) {  // the file failed or shrank while being sent
                self->readFailed = true;
                return CURL_READFUNC_ABORT;
            }
            done += size_t(got);
            self->fileLeft -= got;
        }
        if (self->fileLeft == 0) copy(*self->tail, self->tailPos);
        return done;
    }

    static size_t Write(char* data, size_t size, size_t n, void* p) {
        auto* self = static_cast<Impl*>(p);
        if (self->owner.fDisconnectRequested) return 0;
        const size_t len = size * n;
        const size_t keep = std::min(len, kMaxReplyBody - std::min(kMaxReplyBody, self->body.size()));
        self->body.append(data, keep);
        if (keep < len) self->bodyTruncated = true;
        return len;
    }

    static size_t Header(char*, size_t size, size_t n, void* p) {
        auto* self = static_cast<Impl*>(p);
        self->replyStarted = true;
        return self->owner.fDisconnectRequested ? 0 : size * n;
    }

    static int Progress(void* p, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* self = static_cast<Impl*>(p);
        THttpClient& c = self->owner;
        if (c.fDisconnectRequested) return 1;
        if (c.OnWork) {
            try {
                if (self->replyStarted) c.OnWork(c, TWorkMode::wmRead, int64_t(dlnow));
                else c.OnWork(c, TWorkMode::wmWrite, int64_t(ulnow));
            } catch (const std::exception& e) {
                self->callbackError = e.what();
                return 1;
            } catch (...) {
                self->callbackError = "progress handler failed";
                return 1;
            }
        }
        return c.fDisconnectRequested ? 1 : 0;
    }
};

THttpClient::THttpClient() : fImpl(std::make_unique<Impl>(*this)) {}
THttpClient::~THttpClient() = default;

void THttpClient::Disconnect() {
    if (fConnected) fDisconnectRequested = true;
}

THttpClient::TReply THttpClient::PostFile(const std::string& url, const std::string& contentType,
                                          const std::string& head, const std::string& filePath,
                                          const std::string& tail) {
    TFileStream file(filePath, fmOpenRead | fmShareDenyWrite);
    const int64_t fileSize = file.Size();
    if (fileSize < 0) throw EReadError("Datei " + file.FileName() + ": " + SysErrorMessage(errno));

    Impl& m = *fImpl;
    m.head = &head;
    m.tail = &tail;
    m.file = &file;
    m.fileLeft = fileSize;
    m.headPos = m.tailPos = 0;
    m.readFailed = m.replyStarted = m.bodyTruncated = false;
    m.body.clear();
    m.callbackError.clear();

    CURL* c = m.curl;
    char errbuf[CURL_ERROR_SIZE] = {};
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Connection: keep-alive");
    headers = curl_slist_append(headers, ("Content-Type: " + contentType).c_str());
    headers = curl_slist_append(headers, "Accept: text/html, */*");
    headers = curl_slist_append(headers, "Expect:");

    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    // Only the scheme the URL names: an https:// server is never reached in
    // the clear, and its certificate and name are checked (libcurl's
    // defaults, set again here so that no later change loosens them).
    const bool tls = IsHttpsUrl(url);
    const std::string caFile = CollectionServerCaFile();
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, tls ? "https" : "http");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_CAINFO, tls && !caFile.empty() ? caFile.c_str() : nullptr);
    // A server that takes no connection within 30 s, or a transfer that
    // stalls (under one byte a second for a minute), fails and may be tried
    // again.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(head.size() + tail.size()) + curl_off_t(fileSize));
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &Impl::Read);
    curl_easy_setopt(c, CURLOPT_READDATA, &m);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::Write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &m);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::Header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &m);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &m);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Mozilla/3.0 (compatible; Indy Library)");
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // no proxy, whatever the environment says
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);  // drop any connection left open
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);

    fDisconnectRequested = false;
    fConnected = true;
    const CURLcode rc = curl_easy_perform(c);
    fConnected = false;
    const bool disconnected = fDisconnectRequested;
    fDisconnectRequested = false;

    TReply reply;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.transferred = rc == CURLE_OK;
    reply.bodyTruncated = m.bodyTruncated;
    reply.body = std::move(m.body);
    if (disconnected) reply.error = "Connection closed by the user.";
    else if (m.readFailed) reply.error = "Reading " + file.FileName() + " failed while sending it.";
    else if (!m.callbackError.empty()) reply.error = m.callbackError;
    else if (rc != CURLE_OK) reply.error = *errbuf ? errbuf : curl_easy_strerror(rc);
    if (!disconnected && !m.readFailed && m.callbackError.empty()) {
        switch (rc) {
            case CURLE_COULDNT_CONNECT:
            case CURLE_OPERATION_TIMEDOUT:
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
            case CURLE_GOT_NOTHING:
            case CURLE_PARTIAL_FILE:
                reply.mayPass = true;
                break;
            default:
                break;
        }
    }
    if (!reply.transferred) reply.status = rc == CURLE_OK ? reply.status : 0;

    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headers);
    m.head = m.tail = nullptr;
    m.file = nullptr;
    return reply;
}

TUploadResult UploadArchiveTo(THttpClient& client, const std::string& url, const std::string& archivePath) {
    TUploadResult r;
    try {
        // The server knows the archive by its name in lower case; characters
        // that would break the part header are replaced.
        std::string name = ExtractFileName(archivePath);
        for (char& ch : name) {
            if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
            else if (static_cast<unsigned char>(ch) < 32 || ch == '"' || ch == 127) ch = '_';
        }
        const TMultipartFrame frame = MakeMultipartFrame(NewMultipartBoundary(), name);
        THttpClient::TReply reply = client.PostFile(url, frame.ContentType(), frame.head, archivePath, frame.tail);
        r.status = reply.status;
        r.reply = std::move(reply.body);
        if (!reply.transferred) {
            r.error = reply.error;
            r.mayPass = reply.mayPass;
        } else if (reply.status < 200 || reply.status > 299) {
            r.error = "The server answered with status " + std::to_string(reply.status) + ".";
            r.mayPass = reply.status >= 500 && reply.status <= 599;
        } else {
            const bool accepted = !reply.bodyTruncated && IsAcceptedReply(r.reply);
            r.outcome = accepted ? TUploadOutcome::uoAccepted : TUploadOutcome::uoRejected;
        }
    } catch (const std::exception& e) {
        r.outcome = TUploadOutcome::uoFailed;
        r.error = e.what();
    }
    return r;
}

TUploadResult UploadArchiveWithRetries(THttpClient& client, const std::string& url, const std::string& archivePath,
                                       const std::function<bool(int attempt, int delayMs)>& waitBeforeRetry,
                                       const std::vector<int>& delaysMs) {
    TUploadResult r = UploadArchiveTo(client, url, archivePath);
    for (size_t i = 0; i < delaysMs.size() && r.mayPass; ++i) {
        if (!waitBeforeRetry(int(i) + 1, delaysMs[i])) break;
        r = UploadArchiveTo(client, url, archivePath);
    }
    return r;
}

}  // namespace orvant
