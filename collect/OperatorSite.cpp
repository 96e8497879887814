#include "collect/OperatorSite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "collect/OperatorPages.h"
#include "collect/Record.h"
#include "collect/TakeAudio.h"
#include "wave/WaveUtils.h"

namespace orvant::collect {

namespace {

constexpr unsigned kWaveColumns = 240, kWaveHeight = 64;

THttpResponse Html(int status, std::string body, std::string note = {}) {
    THttpResponse r;
    r.status = status;
    r.body = std::move(body);
    r.note = std::move(note);
    r.headers = {{"Content-Type", "text/html; charset=utf-8"},
                 {"Cache-Control", "no-store"},
                 {"X-Content-Type-Options", "nosniff"},
                 {"X-Frame-Options", "DENY"},
                 {"Referrer-Policy", "no-referrer"},
                 {"Content-Security-Policy",
                  "default-src 'none'; style-src 'unsafe-inline'; media-src 'self'; img-src 'self'; "
                  "form-action 'self'; frame-ancestors 'none'"}};
    return r;
}

THttpResponse Message(int status, const std::string& title, const std::string& text) {
    return Html(status, MessagePage(title, text), text);
}

// A number from the query, or -1.
int64_t IdOf(const std::map<std::string, std::string>& q) {
    const auto it = q.find("id");
    if (it == q.end() || it->second.empty() || it->second.size() > 18 ||
        it->second.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(it->second);
}

// A folder the index names that stays inside the store's uploads/.
bool IsStoreFolder(const std::string& folder) {
    if (!folder.starts_with("uploads/") || folder.find('\0') != std::string::npos) return false;
    size_t at = 0;
    while (at <= folder.size()) {
        const size_t slash = std::min(folder.find('/', at), folder.size());
        const std::string part = folder.substr(at, slash - at);
        if (part.empty() || part == "." || part == ".." || part.find('\\') != std::string::npos) return false;
        at = slash + 1;
    }
    return true;
}

std::string FormatText(const TTakeRow& t) {
    if (!t.hasWave) return {};
    tWAVEFORMATEX wf{};
    wf.wFormatTag = uint16_t(t.formatTag);
    wf.nChannels = uint16_t(t.channels);
    wf.nSamplesPerSec = uint32_t(t.rate);
    wf.wBitsPerSample = uint16_t(t.bits);
    return DescribeWaveFormat(&wf);
}

}  // namespace

bool OperatorPageAllowed(const std::string& listen, bool tls) {
    if (tls) return true;
    std::string host = listen.substr(0, listen.rfind(':'));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return IsLoopbackAddress(host);
}

TOperatorSite::TOperatorSite(TUploadIndex& index, std::string store, std::string password,
                             std::vector<TCataloguePhrase> catalogue, bool haveCatalogue)
    : fIndex(index),
      fStore(std::move(store)),
      fPassword(std::move(password)),
      fCatalogue(std::move(catalogue)),
      fHaveCatalogue(haveCatalogue) {}

void TOperatorSite::Register(THttpServer& server) {
    server.Get("/", [this](const THttpRequest& r) { return Handle(r); });
}

THttpResponse TOperatorSite::Handle(const THttpRequest& r) {
    if (!r.tls && !IsLoopbackAddress(r.client))
        return Message(403, "Forbidden", "The operator's page is served over TLS, or over plain HTTP to 127.0.0.1 only.");
    if (const int64_t wait = fThrottle.WaitSeconds(r.client); wait > 0) {
        THttpResponse t = Message(429, "Too many wrong passwords", "Try again in " + std::to_string(wait) + " s.");
        t.headers.emplace_back("Retry-After", std::to_string(wait));
        return t;
    }
    const std::string* auth = r.Header("Authorization");
    if (!auth || !BasicAuthMatches(*auth, fPassword)) {
        if (auth) fThrottle.Failed(r.client);
        THttpResponse t = Message(401, "Password needed", "The operator's page needs the operator's password.");
        t.note = auth ? "wrong password" : "no password";
        t.headers.emplace_back("WWW-Authenticate", "Basic realm=\"orvant-collect operator\", charset=\"UTF-8\"");
        return t;
    }
    fThrottle.Succeeded(r.client);
    try {
        if (r.path == "/") return Uploads(r);
        if (r.path == "/upload") return Upload(r);
        if (r.path == "/take") return Take(r);
        if (r.path == "/coverage") return Coverage();
    } catch (const std::exception& e) {
        return Message(500, "Server error", e.what());
    }
    return Message(404, "Not found", "There is no such page.");
}

THttpResponse TOperatorSite::Uploads(const THttpRequest& r) {
    const TUploadQuery q = ParseUploadQuery(ParseQuery(r.query));
    const int64_t total = fIndex.CountUploads(q.filter);
    return Html(200, UploadsPage(fIndex.ListUploads(q), total, q));
}

THttpResponse TOperatorSite::Upload(const THttpRequest& r) {
    const int64_t id = IdOf(ParseQuery(r.query));
    TUploadRow row;
    std::string folder;
    if (id < 0 || !fIndex.FindUpload(id, row, folder)) return Message(404, "Not found", "There is no such upload.");
    const auto byTake = PhrasesByTake(fCatalogue);
    std::vector<TTakeView> views;
    for (const TTakeRow& t : fIndex.TakesOf(id)) {
        TTakeView v;
        v.name = t.name;
        if (const auto p = byTake.find(t.name); p != byTake.end()) {
            v.caption = p->second->caption;
            v.inCatalogue = true;
        }
        v.durationMs = t.durationMs;
        v.format = FormatText(t);
        v.flags = t.flags;
        if (t.hasWave && IsStoreFolder(folder) && IsPlainEntryName(t.name)) {
            v.audioUrl = "/take?id=" + std::to_string(id) + "&name=" + UrlEscape(t.name);
            try {
                TTakeReader take(fStore + "/" + folder + "/" + t.name);
                v.waveformSvg = WaveformSvg(WaveformColumns(take, kWaveColumns), kWaveColumns * 2, kWaveHeight);
            } catch (const std::exception&) {
                // Drawn from nothing: the player and the checks still show.
            }
        }
        views.push_back(std::move(v));
    }
    return Html(200, UploadPage(row, views, fHaveCatalogue));
}

THttpResponse TOperatorSite::Take(const THttpRequest& r) {
    const auto q = ParseQuery(r.query);
    const int64_t id = IdOf(q);
    const auto nameAt = q.find("name");
    TUploadRow row;
    std::string folder;
    if (id < 0 || nameAt == q.end() || !IsPlainEntryName(nameAt->second) || !fIndex.FindUpload(id, row, folder) ||
        !IsStoreFolder(folder))
        return Message(404, "Not found", "There is no such take.");
    const std::vector<TTakeRow> takes = fIndex.TakesOf(id);
    if (std::none_of(takes.begin(), takes.end(), [&](const TTakeRow& t) { return t.name == nameAt->second; }))
        return Message(404, "Not found", "There is no such take.");
    const std::string path = fStore + "/" + folder + "/" + nameAt->second;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return Message(404, "Not found", "The take's file is missing from the store.");
    }
    const uint64_t size = uint64_t(st.st_size);
    const std::string* rangeHeader = r.Header("Range");
    const TByteRange range = rangeHeader ? ParseByteRange(*rangeHeader, size) : TByteRange{};
    THttpResponse t;
    t.headers = {{"Content-Type", "audio/wav"},
                 {"Accept-Ranges", "bytes"},
                 {"Cache-Control", "private, max-age=3600"},
                 {"X-Content-Type-Options", "nosniff"}};
    if (range.kind == TByteRange::kUnsatisfiable) {
        ::close(fd);
        t.status = 416;
        t.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        t.body = "Range Not Satisfiable\n";
        t.headers[0].second = "text/plain; charset=utf-8";
        return t;
    }
    t.fd = fd;
    if (range.kind == TByteRange::kPart) {
        t.status = 206;
        t.offset = range.first;
        t.length = range.last - range.first + 1;
        t.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                    std::to_string(range.last) + "/" + std::to_string(size));
    } else {
        t.length = size;
    }
    return t;
}

THttpResponse TOperatorSite::Coverage() {
    const auto counts = fIndex.Coverage();
    std::vector<TCoverageRow> rows;
    for (const TCataloguePhrase& p : fCatalogue) {
        if (!p.TakeUsable()) continue;
        TCoverageRow row{p.caption, p.TakeFile(), 0, 0};
        if (const auto c = counts.find(p.TakeFile()); c != counts.end()) {
            row.speakers = c->second.speakers;
            row.flagged = c->second.flagged;
        }
        rows.push_back(std::move(row));
    }
    return Html(200, CoveragePage(std::move(rows), fHaveCatalogue));
}

}  // namespace orvant::collect
