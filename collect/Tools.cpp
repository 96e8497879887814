#include "collect/Tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "collect/Collector.h"
#include "collect/Files.h"
#include "collect/Index.h"
#include "upload/VoiceArchive.h"

namespace orvant::collect {

namespace fs = std::filesystem;

namespace {

struct TListing : TArchiveEntrySink {
    std::vector<std::pair<std::string, uint32_t>> entries;
    void EntryBegin(const std::string& name, uint32_t size) override { entries.emplace_back(name, size); }
    void EntryData(const uint8_t*, size_t) override {}
    void EntryEnd() override {}
};

// Pushes the file at path through reader; false with the reason in why.
bool ReadThrough(const std::string& path, TVoiceArchiveReader& reader, std::string& why, bool& unreadable) {
    unreadable = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        unreadable = true;
        return false;
    }
    std::vector<uint8_t> buf(256 * 1024);
    bool ok = true;
    for (;;) {
        const ssize_t k = ::read(fd, buf.data(), buf.size());
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            why = std::strerror(errno);
            unreadable = true;
            ok = false;
            break;
        }
        if (k == 0) {
            ok = reader.Finish();
            break;
        }
        if (!reader.Feed(buf.data(), size_t(k))) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (!ok && !unreadable) why = reader.Error();
    return ok;
}

// Reads the archive at path into sink: 0 when whole, else the exit status
// with the error line written.
int ReadArchive(const std::string& path, TArchiveEntrySink& sink, std::ostream& err, uint64_t* bytes = nullptr) {
    TVoiceArchiveReader reader(sink);
    std::string why;
    bool unreadable;
    if (!ReadThrough(path, reader, why, unreadable)) {
        err << path << ": " << why << "\n";
        return unreadable ? 2 : 1;
    }
    if (bytes) *bytes = reader.Offset();
    return 0;
}

}  // namespace

int VerifyArchive(const std::string& path, std::ostream& out, std::ostream& err) {
    TListing listing;
    uint64_t bytes = 0;
    if (const int status = ReadArchive(path, listing, err, &bytes)) return status;
    uint64_t total = 0;
    for (const auto& e : listing.entries) total += e.second;
    out << path << ": whole, " << listing.entries.size() << " entries, " << total << " bytes from "
        << bytes << "\n";
    for (const auto& [name, size] : listing.entries) out << "  " << size << "\t" << name << "\n";
    return 0;
}

int UnpackArchive(const std::string& path, const std::string& dir, std::ostream& out, std::ostream& err) {
    TListing listing;
    if (const int status = ReadArchive(path, listing, err)) return status;
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        err << dir << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) {
        err << dir << ": " << (errno == ELOOP || errno == ENOTDIR ? "not a folder (links are not followed)"
                                                                   : std::strerror(errno))
            << "\n";
        return 2;
    }
    int status = 0;
    try {
        TEntryWriter writer(dfd, dir);
        status = ReadArchive(path, writer, err);
        if (status == 0) out << "unpacked " << writer.Entries().size() << " entries into " << dir << "\n";
    } catch (const std::exception& e) {
        err << path << ": " << e.what() << "\n";
        status = 1;
    }
    ::close(dfd);
    return status;
}

int Reindex(const std::string& store, std::ostream& out, std::ostream& err) {
    const std::string target = StoreIndexPath(store);
    const std::string fresh = target + ".rebuild";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((fresh + suffix).c_str());
    int64_t uploads = 0, duplicates = 0, skipped = 0;
    try {
        std::unique_ptr<TUploadIndex> index = OpenSqliteIndex(fresh);
        std::vector<fs::path> folders;
        std::error_code ec;
        for (const auto& day : fs::directory_iterator(StoreUploads(store), ec))
            for (const auto& up : fs::directory_iterator(day.path(), ec))
                if (up.is_directory() && !up.is_symlink()) folders.push_back(up.path());
        std::sort(folders.begin(), folders.end());
        for (const fs::path& f : folders) {
            std::ifstream j(f / "upload.json", std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(j), std::istreambuf_iterator<char>()};
            TUploadRecord rec;
            std::string why;
            if (!j || !ParseUploadJson(text, rec, why)) {
                err << (f / "upload.json").string() << ": skipped: " << (j ? why : "cannot read") << "\n";
                ++skipped;
                continue;
            }
            std::ifstream d(f / "duplicates.log", std::ios::binary);
            const int64_t dups = d ? std::count(std::istreambuf_iterator<char>(d), std::istreambuf_iterator<char>(), '\n')
                                   : 0;
            if (!index->Add(rec, dups, [] {}, [] {})) {
                err << f.string() << ": skipped: the same archive is indexed from another folder\n";
                ++skipped;
                continue;
            }
            ++uploads;
            duplicates += dups;
        }
    } catch (const std::exception& e) {
        err << "reindex: " << e.what() << "\n";
        return 1;
    }
    // The old index's log must not be replayed into the new one.
    for (const char* suffix : {"-wal", "-shm"}) ::unlink((target + suffix).c_str());
    if (::rename(fresh.c_str(), target.c_str()) != 0) {
        err << "reindex: cannot replace " << target << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    out << "reindexed " << uploads << " uploads, " << duplicates << " duplicates"
        << (skipped ? ", " + std::to_string(skipped) + " folders skipped" : std::string()) << "\n";
    return skipped ? 1 : 0;
}

}  // namespace orvant::collect
