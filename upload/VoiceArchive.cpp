#include "upload/VoiceArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "upload/UFileUtils.h"

namespace orvant {

std::unique_ptr<TFileStream> CreateVoiceArchiveFile(const std::string& folder, std::string& path,
                                                    std::chrono::system_clock::time_point t) {
    // The bound only keeps a folder that refuses every name (one filled with
    // links, say) from holding the flow for ever.
    for (int attempt = 0;; ++attempt, t += std::chrono::milliseconds(1)) {
        const std::string name = folder + "v" + FormatLocalTime("yymmddhhnnsszzz", t) + ".zlb";
        try {
            auto file = std::make_unique<TFileStream>(name, fmCreate | fmCreateNewPrivate | fmShareExclusive);
            path = name;
            return file;
        } catch (const EFCreateError&) {
            struct stat st {};
            const bool taken = ::lstat(name.c_str(), &st) == 0;
            if (!taken || attempt >= 1000) throw;
        }
    }
}

namespace {

constexpr size_t kChunk = 256 * 1024;
constexpr size_t kQueuedChunks = 2;  // chunks of the entry being written that may wait

void WriteInt32(TStream& s, int32_t v) {
    const uint32_t u = uint32_t(v);
    const uint8_t b[4] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
    s.WriteBuffer(b, 4);
}

[[noreturn]] void CompressionError(const z_stream& z, const char* what) {
    throw Exception(std::string("Compression error: ") + (z.msg ? z.msg : what));
}

// One zlib deflater at level 9, window bits 15, memory level 8, default
// strategy, freed however the entry ends.
class TDeflater {
public:
    TDeflater() {
        if (deflateInit2(&fZ, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            CompressionError(fZ, "cannot initialise zlib");
    }
    ~TDeflater() { deflateEnd(&fZ); }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;
    z_stream& Z() { return fZ; }

private:
    z_stream fZ {};
};

// An unnamed file in the temporary folder, readable by nobody else, that is
// gone when closed (or when the program dies). Where the system cannot make
// an unnamed file, a new private one is made and unlinked at once.
class TSpill {
public:
    TSpill() {
        const std::string folder = GetTempFolder();
        fFd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fFd < 0) {
            std::string name = folder + "v-spill-XXXXXX";
            fFd = ::mkostemp(name.data(), O_CLOEXEC);
            if (fFd >= 0) ::unlink(name.c_str());
        }
        if (fFd < 0)
            throw EFCreateError("Datei \"" + folder + "\" kann nicht erstellt werden. " + SysErrorMessage(errno));
    }
    ~TSpill() { ::close(fFd); }
    TSpill(const TSpill&) = delete;
    TSpill& operator=(const TSpill&) = delete;

    void Append(const uint8_t* data, size_t n) {
        while (n > 0) {
            const ssize_t k = ::write(fFd, data, n);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) throw EWriteError("Stream-Schreibfehler");
            data += k;
            n -= size_t(k);
        }
    }
    void CopyTo(TStream& dest, std::vector<uint8_t>& buf) {
        for (off_t pos = 0;;) {
            const ssize_t k = ::pread(fFd, buf.data(), buf.size(), pos);
            if (k < 0 && errno == EINTR) continue;
            if (k < 0) throw EReadError("Stream-Lesefehler");
            if (k == 0) return;
            dest.WriteBuffer(buf.data(), int32_t(k));
            pos += k;
        }
    }

private:
    int fFd = -1;
};

// One file of the list on its way into the archive.
struct TEntry {
    int64_t size = 0;
    bool opened = false;  // opened and measured
    bool ready = false;   // opened, or failed
    bool done = false;   // stream finished, or failed
    std::exception_ptr error;
    std::deque<std::vector<uint8_t>> queue;  // compressed chunks for the writer
    std::unique_ptr<TSpill> spill;           // compressed before its turn came
};

struct TStopped {};

// Compresses the files on worker threads, each file whole by one deflater,
// and hands the writer their compressed bytes entry by entry in list order.
// A worker whose entry is being written queues its chunks for the writer
// (at most kQueuedChunks, then it waits); one whose entry's turn has not come
// puts them in a spill file. Workers run at most `window` entries ahead of
// the writer, which bounds the spill files and the open files.
class TCompressors {
public:
    TCompressors(const std::vector<std::string>& files, unsigned threads)
        : fFiles(files), fEntries(files.size()), fWindow(2 * size_t(threads)) {
        for (unsigned i = 0; i < threads && i < files.size(); ++i) {
            try {
                fWorkers.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                if (fWorkers.empty()) throw;  // not even one: the build cannot run
                break;                        // fewer threads do the same work
            }
        }
    }
    ~TCompressors() {
        {
            std::lock_guard<std::mutex> g(fLock);
            fStop = true;
        }
        fWorkersWake.notify_all();
        for (std::thread& t : fWorkers) t.join();
    }

    // Waits until entry k is opened; raises its failure. Entry k becomes the
    // one being written: from now on its chunks go to the queue.
    int64_t Begin(size_t k) {
        std::unique_lock<std::mutex> l(fLock);
        fHead = k;
        fWorkersWake.notify_all();
        TEntry& e = fEntries[k];
        fWriterWake.wait(l, [&] { return e.ready; });
        if (!e.opened) std::rethrow_exception(e.error);
        return e.size;
    }

    // Writes entry k's compressed bytes to dest as they come; raises the
    // entry's failure after what was compressed before it.
    void CopyTo(size_t k, TStream& dest) {
        TEntry& e = fEntries[k];
        std::unique_ptr<TSpill> spill;
        {
            std::lock_guard<std::mutex> g(fLock);
            spill = std::move(e.spill);  // final: k is the head, nothing more is spilled
        }
        if (spill) {
            if (fCopy.empty()) fCopy.resize(kChunk);
            spill->CopyTo(dest, fCopy);
        }
        for (;;) {
            std::vector<uint8_t> chunk;
            {
                std::unique_lock<std::mutex> l(fLock);
                fWriterWake.wait(l, [&] { return !e.queue.empty() || e.done; });
                if (e.queue.empty()) break;
                chunk = std::move(e.queue.front());
                e.queue.pop_front();
            }
            fWorkersWake.notify_all();
            dest.WriteBuffer(chunk.data(), int32_t(chunk.size()));
            std::lock_guard<std::mutex> g(fLock);
            fFree.push_back(std::move(chunk));
        }
        if (e.error) std::rethrow_exception(e.error);
    }

private:
    void Work() {
        for (;;) {
            size_t k;
            {
                std::unique_lock<std::mutex> l(fLock);
                fWorkersWake.wait(l, [&] { return fStop || fNext >= fEntries.size() || fNext < fHead + fWindow; });
                if (fStop || fNext >= fEntries.size()) return;
                k = fNext++;
            }
            try {
                Compress(k);
            } catch (const TStopped&) {
                return;
            } catch (...) {
                std::lock_guard<std::mutex> g(fLock);
                fEntries[k].error = std::current_exception();
                fEntries[k].ready = fEntries[k].done = true;
            }
            fWriterWake.notify_all();
        }
    }

    void Compress(size_t k) {
        TEntry& e = fEntries[k];
        TFileStream source(fFiles[k], fmOpenRead | fmShareExclusive);
        const int64_t size = source.Size();
        if (size < 0) throw EReadError("Datei " + source.FileName() + ": " + SysErrorMessage(errno));
        if (size > kMaxArchiveEntrySize)
            throw Exception("File " + source.FileName() +
                            " is 2 GiB or larger and cannot be packed into the voice archive.");
        {
            std::lock_guard<std::mutex> g(fLock);
            e.size = size;
            e.opened = e.ready = true;
        }
        fWriterWake.notify_all();

        TDeflater d;
        z_stream& z = d.Z();
        std::vector<uint8_t> in(size_t(std::min<int64_t>(std::max<int64_t>(size, 1), int64_t(kChunk))));
        std::vector<uint8_t> out = TakeBuffer();
        int64_t left = size;
        int flush;
        do {
            const uInt n = uInt(std::min<int64_t>(left, int64_t(in.size())));
            source.ReadBuffer(in.data(), int32_t(n));  // short read: the file shrank
            left -= n;
            flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
            z.next_in = in.data();
            z.avail_in = n;
            do {
                z.next_out = out.data();
                z.avail_out = uInt(out.size());
                if (deflate(&z, flush) == Z_STREAM_ERROR) CompressionError(z, "stream error");
                Emit(k, out, out.size() - z.avail_out);
            } while (z.avail_out == 0);
        } while (flush != Z_FINISH);
        {
            std::lock_guard<std::mutex> g(fLock);
            e.done = true;
            fFree.push_back(std::move(out));
        }
    }

    // Hands the first n bytes of out to the writer; out gets a fresh buffer
    // when its bytes went to the queue.
    void Emit(size_t k, std::vector<uint8_t>& out, size_t n) {
        if (n == 0) return;
        TEntry& e = fEntries[k];
        std::unique_lock<std::mutex> l(fLock);
        if (fStop) throw TStopped{};
        if (k != fHead) {
            // Under the lock: the writer takes the spill over only once k is
            // the head, and then nothing more is appended here.
            if (!e.spill) e.spill = std::make_unique<TSpill>();
            e.spill->Append(out.data(), n);
            return;
        }
        fWorkersWake.wait(l, [&] { return fStop || e.queue.size() < kQueuedChunks; });
        if (fStop) throw TStopped{};
        std::vector<uint8_t> full = std::move(out);
        full.resize(n);
        e.queue.push_back(std::move(full));
        l.unlock();
        fWriterWake.notify_all();
        out = TakeBuffer();
    }

    std::vector<uint8_t> TakeBuffer() {
        std::vector<uint8_t> b;
        {
            std::lock_guard<std::mutex> g(fLock);
            if (!fFree.empty()) {
                b = std::move(fFree.back());
                fFree.pop_back();
            }
        }
        b.resize(kChunk);
        return b;
    }

    const std::vector<std::string>& fFiles;
    std::vector<TEntry> fEntries;
    const size_t fWindow;
    std::mutex fLock;
    std::condition_variable fWorkersWake, fWriterWake;
    size_t fHead = 0, fNext = 0;
    bool fStop = false;
    std::vector<std::vector<uint8_t>> fFree;  // chunk buffers the writer is done with
    std::vector<uint8_t> fCopy;               // the writer's buffer for spilled bytes
    std::vector<std::thread> fWorkers;        // last: started once the rest stands
};

unsigned ThreadCount(unsigned threads) {
    if (threads > 0) return threads;
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

}  // namespace

bool WriteVoiceArchive(const std::vector<std::string>& files, TStream& archive, TArchiveProgress* progress,
                       unsigned threads) {
    TArchiveProgress none;
    TArchiveProgress& p = progress ? *progress : none;
    const int32_t count = int32_t(files.size());
    // Whatever happens below, the bar shows full when the build ends.
    struct TFinish {
        TArchiveProgress& p;
        int32_t n;
        ~TFinish() {
            p.SetProgressPosition(n);
            p.RepaintProgress();
        }
    } finish{p, count};

    WriteInt32(archive, count);
    p.SetProgressPosition(0);
    p.SetProgressMax(count);

    TCompressors compressors(files, ThreadCount(threads));
    for (int32_t i = 0; i < count; ++i) {
        const int64_t size = compressors.Begin(size_t(i));
        const std::u16string name = Utf8ToUtf16(ExtractFileName(files[size_t(i)])) + u'\0';
        std::vector<uint8_t> nameBytes;
        nameBytes.reserve(name.size() * 2);
        for (char16_t c : name) {
            nameBytes.push_back(uint8_t(c));
            nameBytes.push_back(uint8_t(c >> 8));
        }
        WriteInt32(archive, int32_t(nameBytes.size()));
        archive.WriteBuffer(nameBytes.data(), int32_t(nameBytes.size()));
        WriteInt32(archive, int32_t(size));
        compressors.CopyTo(size_t(i), archive);

        p.SetProgressPosition(i);
        p.RepaintProgress();
        if (i % 20 == 0) {
            p.ProcessMessages();
            if (p.Cancelled()) return false;
        }
    }
    return true;
}

bool BuildVoiceArchive(const std::vector<std::string>& files, const std::string& archivePath,
                       TArchiveProgress* progress, unsigned threads) {
    bool complete;
    {
        TFileStream archive(archivePath, fmCreate | fmCreateNewPrivate | fmShareExclusive);
        complete = WriteVoiceArchive(files, archive, progress, threads);
    }
    return complete && FileExists(archivePath);
}

}  // namespace orvant
