#include "collect/Collector.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>

#include "collect/Files.h"
#include "collect/Multipart.h"
#include "collect/Worker.h"
#include "upload/VoiceArchive.h"

namespace orvant::collect {

namespace fs = std::filesystem;

std::string StoreTmp(const std::string& store) { return store + "/tmp"; }
std::string StoreUploads(const std::string& store) { return store + "/uploads"; }
std::string StoreIndexPath(const std::string& store) { return store + "/index.sqlite"; }

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);  // removes links themselves, never what they point at
}

bool IsSafeArchiveName(const std::string& name) {
    if (name.empty() || name.size() > 100 || name[0] == '.') return false;
    if (name == "upload.json" || name == "duplicates.log") return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

namespace {

constexpr size_t kMaxNameField = 256;
constexpr uint64_t kMaxInfoFile = 64 * 1024;
constexpr uint64_t kFlushStep = 8 << 20;

// The text of a quoted-printable field, trimmed of white space.
std::string FieldText(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '=' && i + 2 < raw.size() + 0 && raw.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;  // soft line break
        } else if (raw[i] == '=' && i + 2 < raw.size() && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
            out += char(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += raw[i];
        }
    }
    const size_t b = out.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    return out.substr(b, out.find_last_not_of(" \t\r\n") - b + 1);
}

THttpResponse Refusal(int status, const std::string& reason) {
    return THttpResponse::Text(status, "Error: " + reason + "\n", reason);
}

class TUpload : public TBodyHandler, public TMultipartSink {
public:
    explicit TUpload(TCollector& c) : fC(c) {}
    ~TUpload() override {
        fExtract.reset();  // their tasks use the rest: joined first
        fCheck.reset();
        fWriter.reset();  // closes an entry left open
        if (fArchiveFd >= 0) ::close(fArchiveFd);
        if (fDir >= 0) ::close(fDir);
        if (!fKept && !fTmp.empty()) RemoveTree(fTmp);
    }

    std::optional<THttpResponse> Begin(const THttpRequest& q) override {
        try {
            return Start(q);
        } catch (const TCollectError& e) {
            return Refusal(e.Status(), e.what());
        } catch (const std::exception& e) {
            return Refusal(500, e.what());
        }
    }
    std::optional<THttpResponse> Data(const uint8_t* data, size_t n) override {
        try {
            fBody += n;
            if (fBody > fC.Limits().maxBody)
                return Refusal(413, "body larger than the limit of " + std::to_string(fC.Limits().maxBody) + " bytes");
            if (!fParts->Feed(data, n)) return Refusal(400, "malformed multipart body: " + fParts->Error());
            return std::nullopt;
        } catch (const TCollectError& e) {
            return Refusal(e.Status(), e.what());
        } catch (const std::exception& e) {
            return Refusal(500, e.what());
        }
    }
    THttpResponse End() override {
        try {
            return Keep();
        } catch (const TCollectError& e) {
            return Refusal(e.Status(), e.what());
        } catch (const std::exception& e) {
            return Refusal(500, e.what());
        }
    }

private:
    std::optional<THttpResponse> Start(const THttpRequest& q) {
        fClient = q.client;
        const std::string* type = q.Header("Content-Type");
        const std::string boundary = type ? MultipartBoundary(*type) : std::string();
        if (boundary.empty()) return Refusal(400, "not multipart/form-data with a boundary");
        const std::string* length = q.Header("Content-Length");
        const std::string* coding = q.Header("Transfer-Encoding");
        uint64_t declared = 0;
        if (length) {
            char* end = nullptr;
            errno = 0;
            declared = std::strtoull(length->c_str(), &end, 10);
            if (length->empty() || *end || errno) return Refusal(400, "bad Content-Length");
            if (declared > fC.Limits().maxBody)
                return Refusal(413, "body of " + *length + " bytes larger than the limit of " +
                                        std::to_string(fC.Limits().maxBody) + " bytes");
        } else if (!coding || coding->find("chunked") == std::string::npos) {
            return Refusal(411, "Content-Length required");
        }
        const std::string tmp = StoreTmp(fC.Store());
        const int64_t free = FreeBytes(tmp);
        if (free >= 0 && uint64_t(free) < declared)
            return Refusal(507, "no space left on the store's disk for a body of " + std::to_string(declared) +
                                    " bytes");
        std::string t = tmp + "/" + TmpPrefix() + "XXXXXX";
        if (!::mkdtemp(t.data())) RaiseErrno(errno, "cannot create a folder in " + tmp);
        fTmp = t;
        fDir = ::open(fTmp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fDir < 0) RaiseErrno(errno, "cannot open " + fTmp);
        // A leading dot: no entry can take this name.
        fArchiveFd = ::openat(fDir, ".archive", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (fArchiveFd < 0) RaiseErrno(errno, "cannot create the archive file in " + fTmp);
        fWriter = std::make_unique<TEntryWriter>(fDir, fTmp);
        fReader = std::make_unique<TVoiceArchiveReader>(*fWriter);
        // Inflating and extracting overlap the network on one thread;
        // hashing, checking and syncing the entries go on another, reading
        // each back once it is written. The queues hold a few pieces of the
        // body at most.
        fExtract = std::make_unique<TSerialWorker>(2);
        fCheck = std::make_unique<TSerialWorker>(size_t(kMaxArchiveEntries));
        fWriter->hashEntries = false;
        fWriter->onEnd = [this](const TExtractedEntry& e) {
            fCheck->Post([this, name = e.name] {
                TEntryRecord& r = fChecked[name];
                r.sha256 = HashAndSyncAt(fDir, name, fTmp + "/" + name);
                if (IsTakeName(name)) CheckTake(fTmp + "/" + name, r);
            });
        };
        fParts = std::make_unique<TMultipartReader>(boundary, *this);
        return std::nullopt;
    }

    void PartBegin(const std::string& name, const std::string& fileName) override {
        if (name == "filename") {
            if (fHaveName) throw TCollectError(400, "two \"filename\" fields");
            fHaveName = true;
            fPart = TPart::name;
        } else if (name == "sndfile") {
            if (fHaveFile) throw TCollectError(400, "two \"sndfile\" fields");
            fHaveFile = true;
            fFileParam = fileName;
            fPart = TPart::file;
        } else {
            throw TCollectError(400, "unexpected field \"" + name.substr(0, 64) + "\"");
        }
    }
    void PartData(const uint8_t* data, size_t n) override {
        if (fPart == TPart::name) {
            fNameField.append(reinterpret_cast<const char*>(data), n);
            if (fNameField.size() > kMaxNameField) throw TCollectError(400, "\"filename\" field too long");
            return;
        }
        WriteAll(fArchiveFd, data, n, "the archive");
        fHash.Update(data, n);
        fArchiveBytes += n;
        // Start writing the archive out as it grows, so the sync before the
        // answer has little left to do.
        if (fArchiveBytes - fFlushed >= kFlushStep) {
            ::sync_file_range(fArchiveFd, off64_t(fFlushed), off64_t(fArchiveBytes - fFlushed), SYNC_FILE_RANGE_WRITE);
            fFlushed = fArchiveBytes;
        }
        // Raises what the extraction met with the pieces before.
        fExtract->Post([this, piece = std::vector<uint8_t>(data, data + n)] {
            if (!fReader->Feed(piece.data(), piece.size()))
                throw TCollectError(400, "archive refused: " + fReader->Error());
        });
    }
    void PartEnd() override {
        if (fPart == TPart::file)
            fExtract->Post([this] {
                if (!fReader->Finish()) throw TCollectError(400, "archive refused: " + fReader->Error());
            });
        fPart = TPart::none;
    }

    THttpResponse Keep() {
        if (!fParts->Finish()) return Refusal(400, "malformed multipart body: " + fParts->Error());
        if (!fHaveFile) return Refusal(400, "no \"sndfile\" field");
        if (!fHaveName) return Refusal(400, "no \"filename\" field");
        fExtract->Drain();  // the archive was read to its end
        fCheck->Drain();
        const std::string name = FieldText(fNameField);
        if (!IsSafeArchiveName(name)) return Refusal(400, "archive name \"" + name.substr(0, 64) + "\" refused");
        SyncFd(fArchiveFd, "the archive");
        ::close(fArchiveFd);
        fArchiveFd = -1;
        TUploadRecord rec;
        rec.archive = name;
        rec.sha256 = fHash.Hex();
        rec.bytes = fArchiveBytes;
        rec.received = UtcTimestamp();
        rec.client = fClient;
        TUploadIndex& index = fC.Index();
        if (const std::string stored = index.FolderOf(rec.sha256); !stored.empty()) return Duplicate(rec, stored);

        bool info = false;
        for (const TExtractedEntry& e : fWriter->Entries()) {
            if (e.name == name || e.name == "upload.json" || e.name == "duplicates.log")
                return Refusal(400, "entry \"" + e.name + "\" would replace a file of the store");
            TEntryRecord er = fChecked[e.name];
            er.name = e.name;
            er.bytes = e.bytes;
            if (e.name == "info.txt") {
                if (e.bytes > kMaxInfoFile) return Refusal(400, "info.txt larger than 64 KiB");
                rec.speaker = ParseSpeakerInfo(ReadInfo());
                info = true;
            }
            rec.entries.push_back(std::move(er));
        }
        if (!info) return Refusal(400, "no info.txt in the archive");

        const std::string date = rec.received.substr(0, 10);
        rec.folder = "uploads/" + date + "/" + name + "-" + rec.sha256.substr(0, 12);
        if (::renameat(fDir, ".archive", fDir, name.c_str()) != 0) RaiseErrno(errno, "cannot name the archive");
        const std::string json = UploadJson(rec);
        const int jfd = ::openat(fDir, "upload.json", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (jfd < 0) RaiseErrno(errno, "cannot create upload.json");
        try {
            WriteAll(jfd, json.data(), json.size(), "upload.json");
            SyncFd(jfd, "upload.json");
        } catch (...) {
            ::close(jfd);
            throw;
        }
        ::close(jfd);
        SyncFd(fDir, fTmp);

        const std::string uploads = StoreUploads(fC.Store());
        const std::string dateDir = uploads + "/" + date;
        if (::mkdir(dateDir.c_str(), 0750) == 0)
            SyncFolder(uploads);
        else if (errno != EEXIST)
            RaiseErrno(errno, "cannot create " + dateDir);
        const std::string final = fC.Store() + "/" + rec.folder;
        const auto place = [&] {
            if (::renameat2(AT_FDCWD, fTmp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) != 0)
                RaiseErrno(errno, "cannot move the upload to " + final);
            fKept = true;
            try {
                SyncFolder(dateDir);
            } catch (...) {
                Unplace(final);
                throw;
            }
        };
        if (!index.Add(rec, 0, place, [&] { Unplace(final); }))
            return Duplicate(rec, index.FolderOf(rec.sha256));  // an equal upload was kept meanwhile
        return THttpResponse::Text(200, "E=0", rec.sha256 + " " + rec.folder);
    }

    void Unplace(const std::string& final) {
        if (::rename(final.c_str(), fTmp.c_str()) == 0) fKept = false;
    }

    std::string ReadInfo() {
        const int fd = ::openat(fDir, "info.txt", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) RaiseErrno(errno, "cannot read info.txt");
        std::string s(kMaxInfoFile, '\0');
        const ssize_t k = ::read(fd, s.data(), s.size());
        ::close(fd);
        if (k < 0) RaiseErrno(errno, "cannot read info.txt");
        s.resize(size_t(k));
        return s;
    }

    // The archive is stored already: one line in its folder's duplicates.log
    // (what a rebuilt index counts) and one more in the index.
    THttpResponse Duplicate(const TUploadRecord& rec, const std::string& stored) {
        const std::string log = fC.Store() + "/" + stored + "/duplicates.log";
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
        if (fd < 0) RaiseErrno(errno, "cannot open " + log);
        const std::string line = rec.received + " " + rec.client + " " + rec.archive + "\n";
        try {
            WriteAll(fd, line.data(), line.size(), log);
            SyncFd(fd, log);
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        fC.Index().CountDuplicate(rec.sha256);
        return THttpResponse::Text(200, "E=0", rec.sha256 + " duplicate of " + stored);
    }

    enum class TPart { none, name, file };
    TCollector& fC;
    std::string fTmp;
    int fDir = -1, fArchiveFd = -1;
    std::unique_ptr<TEntryWriter> fWriter;
    std::unique_ptr<TVoiceArchiveReader> fReader;
    std::unique_ptr<TMultipartReader> fParts;
    std::map<std::string, TEntryRecord> fChecked;  // the takes, by the checking thread
    std::unique_ptr<TSerialWorker> fExtract, fCheck;
    TSha256 fHash;
    uint64_t fArchiveBytes = 0, fFlushed = 0, fBody = 0;
    std::string fClient, fNameField, fFileParam;
    TPart fPart = TPart::none;
    bool fHaveName = false, fHaveFile = false, fKept = false;
};

}  // namespace

std::string TmpPrefix() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string p;
    for (const char* c = host; *c; ++c) p += std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' ? *c : '_';
    return (p.empty() ? "host" : p) + ".";
}

void PrepareStore(const std::string& store) {
    for (const std::string& d : {store, StoreTmp(store), StoreUploads(store)})
        if (::mkdir(d.c_str(), 0750) != 0 && errno != EEXIST) RaiseErrno(errno, "cannot create " + d);
    // Only this machine's: receivers on other machines may share the store.
    const std::string mine = TmpPrefix();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(StoreTmp(store), ec))
        if (e.path().filename().string().rfind(mine, 0) == 0) RemoveTree(e.path().string());
}

TCollector::TCollector(std::string store, TUploadIndex& index, TCollectLimits limits)
    : fStore(std::move(store)), fIndex(index), fLimits(limits) {}

std::unique_ptr<TBodyHandler> TCollector::NewUpload() { return std::make_unique<TUpload>(*this); }

}  // namespace orvant::collect
