// The exchange with the collection server: one HTTP/1.0 POST of multipart
// form data holding the voice archive, streamed from the archive file, with
// progress reports and an abort, and the judgement of the server's reply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

namespace orvant {

enum class TWorkMode { wmRead, wmWrite };

// The collection server's URL: "http://" + host + "/phpu/sndupload.php", or
// "https://" + host + ... when the host is written with that scheme in front
// ("https://collect.example.org"). The host is ORVANT_UPLOAD_HOST from the
// environment when set and not empty, otherwise the one chosen when the
// program was configured. It may carry a port ("127.0.0.1:8080").
std::string CollectionServerUrl();

// The file of certificate authorities an https:// server's certificate is
// checked against: ORVANT_UPLOAD_CA_FILE from the environment when set and
// not empty, else the one chosen when the program was configured; empty
// means the system's authorities, and a relative path lies in the program's
// folder.
std::string CollectionServerCaFile();

// The framing of the archive inside the request body: everything before the
// archive's bytes and everything after them.
struct TMultipartFrame {
    std::string boundary;  // "--------" + local time "mmddyyhhnnsszzz"
    std::string head;
    std::string tail;
    std::string ContentType() const { return "multipart/form-data; boundary=" + boundary; }
};
// Fields "filename" (value fileName, quoted-printable text) and "sndfile"
// (the file fileName, application/octet-stream), for the given boundary.
TMultipartFrame MakeMultipartFrame(const std::string& boundary, const std::string& fileName);
// A boundary made from the local time now.
std::string NewMultipartBoundary();

// True when reply, with every leading and trailing character of code 32 or
// less removed, is exactly "E=0".
bool IsAcceptedReply(const std::string& reply);

// The HTTP client: settings of the exchange, the progress event and the
// connection that the Abort command may drop at any moment.
class THttpClient {
public:
    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // Called repeatedly while a request is sent (wmWrite, bytes of the
    // request body sent so far) and while the reply is read (wmRead, bytes
    // of the reply body read so far). It may call Disconnect.
    std::function<void(THttpClient& sender, TWorkMode mode, int64_t count)> OnWork;

    // True while a request runs.
    bool Connected() const { return fConnected; }
    // Drops the connection: the running request fails as soon as control
    // returns to the client.
    void Disconnect();

    struct TReply {
        bool transferred = false;  // a complete reply was received
        long status = 0;           // HTTP status, 0 when none arrived
        std::string body;          // reply body (its first 64 KiB)
        bool bodyTruncated = false;  // the body was longer than that
        std::string error;         // why the transfer failed
        // The transfer failed for a reason that may pass: the connection was
        // refused, reset or timed out, or it closed with nothing received.
        bool mayPass = false;
    };
    // POSTs head, the file's bytes and tail to url as one body of type
    // contentType. An https:// url goes over TLS with the server's
    // certificate and name checked (CollectionServerCaFile); a check that
    // fails sends nothing. The file is read while sending, never whole. A file that
    // cannot be opened is raised as the stream's EFOpenError; every other
    // failure ends in a reply with transferred false.
    TReply PostFile(const std::string& url, const std::string& contentType, const std::string& head,
                    const std::string& filePath, const std::string& tail);

private:
    struct Impl;
    std::unique_ptr<Impl> fImpl;
    bool fConnected = false;
    bool fDisconnectRequested = false;
    friend struct Impl;
};

enum class TUploadOutcome {
    uoAccepted,  // the server replied "E=0"
    uoRejected,  // a successful status with any other reply
    uoFailed,    // no usable reply: file, connection, transfer or status error
};

struct TUploadResult {
    TUploadOutcome outcome = TUploadOutcome::uoFailed;
    long status = 0;
    std::string reply;
    std::string error;
    // A failure that may pass when tried again: the transfer's (see
    // TReply::mayPass) or a 5xx status.
    bool mayPass = false;
};

// Posts the archive at archivePath (opened by that path, shared for reading
// only) to url with the client. The name sent is the archive's name part
// with its ASCII letters lowered. Raises nothing.
TUploadResult UploadArchiveTo(THttpClient& client, const std::string& url, const std::string& archivePath);

// The pauses before the tries after the first: three more tries over about
// 30 s, so that a server restarting or a network coming back is waited for.
inline constexpr int kUploadRetryDelaysMs[] = {3000, 9000, 18000};

// Uploads as UploadArchiveTo and, while the outcome is a failure that may
// pass, tries again with the same archive after each pause of delaysMs.
// Before each new try, waitBeforeRetry(try, ms) is called (try 1 for the
// first repetition) and must return after about ms milliseconds; when it
// returns false (the user called it off), the last failure is returned.
TUploadResult UploadArchiveWithRetries(THttpClient& client, const std::string& url, const std::string& archivePath,
                                       const std::function<bool(int attempt, int delayMs)>& waitBeforeRetry,
                                       const std::vector<int>& delaysMs = {std::begin(kUploadRetryDelaysMs),
                                                                           std::end(kUploadRetryDelaysMs)});

}  // namespace orvant
