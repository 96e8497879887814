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
#include <unordered_set>
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

// ---- reading

namespace orvant {

bool IsSafeEntryName(const std::u16string& name, std::string& why) {
    if (name.empty()) return why = "empty name", false;
    if (name.size() > size_t(kMaxArchiveNameUnits))
        return why = "name longer than " + std::to_string(kMaxArchiveNameUnits) + " characters", false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c == u'/' || c == u'\\') return why = "name with a folder separator", false;
        if (c < 0x20 || c == 0x7F) return why = "name with a control character", false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
                return why = "name with a lone surrogate", false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return why = "name with a lone surrogate", false;
        }
    }
    if (name == u"." || name == u"..") return why = "name \".\" or \"..\"", false;
    if (name[0] == u'.') return why = "name with a leading dot", false;
    return true;
}

namespace {

// UTF-8 of valid UTF-16.
std::string Utf16ToUtf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size()) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

enum class TReadState { count, nameLength, name, size, data, done };

}  // namespace

struct TVoiceArchiveReader::Impl {
    TReadState state = TReadState::count;
    std::vector<uint8_t> field;  // bytes of the field being read
    size_t need = 4;             // its length
    std::string name;            // the current entry's name (UTF-8)
    uint32_t size = 0;           // its declared size
    uint64_t got = 0;            // its bytes inflated so far
    uint64_t entryStart = 0;     // offset of its name length field
    z_stream z {};
    bool zOpen = false;
    std::vector<uint8_t> out = std::vector<uint8_t>(256 * 1024);
    std::unordered_set<std::string> names;

    ~Impl() {
        if (zOpen) inflateEnd(&z);
    }
    int32_t Int32() const {
        return int32_t(uint32_t(field[0]) | uint32_t(field[1]) << 8 | uint32_t(field[2]) << 16 |
                       uint32_t(field[3]) << 24);
    }
};

TVoiceArchiveReader::TVoiceArchiveReader(TArchiveEntrySink& sink) : fImpl(std::make_unique<Impl>()), fSink(sink) {}
TVoiceArchiveReader::~TVoiceArchiveReader() = default;

bool TVoiceArchiveReader::Complete() const { return !Failed() && fImpl->state == TReadState::done; }

bool TVoiceArchiveReader::Fail(uint64_t offset, const std::string& why) {
    fErrorOffset = offset;
    const std::string where = fEntry == 0 || fImpl->state == TReadState::done
                                  ? std::string("archive")
                                  : "entry " + std::to_string(fEntry) +
                                        (fImpl->name.empty() ? std::string() : " \"" + fImpl->name + "\"");
    fError = where + ": " + why + " (at byte " + std::to_string(offset) + ")";
    return false;
}

bool TVoiceArchiveReader::Feed(const uint8_t* data, size_t n) {
    if (Failed()) return false;
    Impl& m = *fImpl;
    while (n > 0) {
        if (m.state == TReadState::done) return Fail(fOffset, "bytes after the last entry");
        if (m.state == TReadState::data) {
            z_stream& z = m.z;
            z.next_in = const_cast<uint8_t*>(data);
            z.avail_in = uInt(std::min<size_t>(n, 1u << 30));
            const size_t offered = z.avail_in;
            bool ended = false;
            for (;;) {
                // Room for one byte past the declared size at most: an entry
                // that inflates further is stopped right there.
                const size_t room = size_t(std::min<uint64_t>(m.out.size(), m.size - m.got + 1));
                z.next_out = m.out.data();
                z.avail_out = uInt(room);
                const int r = inflate(&z, Z_NO_FLUSH);
                const size_t produced = room - z.avail_out;
                const uint64_t at = fOffset + (offered - z.avail_in);
                // The size first: what came out before a fault is the same in
                // any chunking, so the verdict is too.
                if (m.got + produced > m.size)
                    return Fail(at, "inflates past its declared size of " + std::to_string(m.size) + " bytes");
                if (r == Z_NEED_DICT || r == Z_DATA_ERROR || r == Z_MEM_ERROR || r == Z_STREAM_ERROR)
                    return Fail(at, std::string("corrupt zlib stream (") + (z.msg ? z.msg : "inflate error") + ")");
                m.got += produced;
                if (produced > 0) fSink.EntryData(m.out.data(), produced);
                if (r == Z_STREAM_END) {
                    if (m.got != m.size)
                        return Fail(at, "zlib stream ends after " + std::to_string(m.got) + " of its declared " +
                                            std::to_string(m.size) + " bytes");
                    ended = true;
                    break;
                }
                if (r == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0)) break;  // wants more input
            }
            const size_t used = offered - z.avail_in;
            fOffset += used;
            data += used;
            n -= used;
            if (ended) {
                inflateEnd(&z);
                m.zOpen = false;
                fSink.EntryEnd();
                m.name.clear();
                m.state = fEntry == fCount ? TReadState::done : TReadState::nameLength;
                m.need = 4;
            }
            continue;
        }

        // A header field: gather its bytes.
        const size_t take = std::min(n, m.need - m.field.size());
        m.field.insert(m.field.end(), data, data + take);
        data += take;
        n -= take;
        fOffset += take;
        if (m.field.size() < m.need) break;
        const uint64_t fieldStart = fOffset - m.need;
        switch (m.state) {
        case TReadState::count:
            fCount = m.Int32();
            if (fCount < 0 || fCount > kMaxArchiveEntries) {
                const int32_t bad = fCount;
                fCount = -1;
                return Fail(fieldStart, "entry count " + std::to_string(bad) + " out of range (0 to " +
                                            std::to_string(kMaxArchiveEntries) + ")");
            }
            m.state = fCount == 0 ? TReadState::done : TReadState::nameLength;
            m.need = 4;
            break;
        case TReadState::nameLength: {
            ++fEntry;
            m.entryStart = fieldStart;
            const int32_t l = m.Int32();
            if (l < 4 || l > 2 * (kMaxArchiveNameUnits + 1) || l % 2 != 0)
                return Fail(fieldStart, "name length " + std::to_string(l) + " is not an even count of 4 to " +
                                            std::to_string(2 * (kMaxArchiveNameUnits + 1)) + " bytes");
            m.state = TReadState::name;
            m.need = size_t(l);
            break;
        }
        case TReadState::name: {
            std::u16string units(m.need / 2, u'\0');
            for (size_t i = 0; i < units.size(); ++i)
                units[i] = char16_t(m.field[2 * i] | m.field[2 * i + 1] << 8);
            if (units.back() != u'\0') return Fail(fieldStart + m.need - 2, "name not ended by a NUL character");
            units.pop_back();
            std::string why;
            if (!IsSafeEntryName(units, why)) return Fail(fieldStart, why);
            m.name = Utf16ToUtf8(units);
            if (!m.names.insert(m.name).second) return Fail(fieldStart, "name used by an earlier entry");
            m.state = TReadState::size;
            m.need = 4;
            break;
        }
        case TReadState::size: {
            const int32_t s = m.Int32();
            if (s < 0) return Fail(fieldStart, "size " + std::to_string(s) + " below 0");
            m.size = uint32_t(s);
            m.got = 0;
            m.z = z_stream{};
            if (inflateInit(&m.z) != Z_OK) return Fail(fOffset, "cannot initialise zlib");
            m.zOpen = true;
            m.state = TReadState::data;
            fSink.EntryBegin(m.name, m.size);
            break;
        }
        case TReadState::data:
        case TReadState::done:
            break;
        }
        m.field.clear();
    }
    return true;
}

bool TVoiceArchiveReader::Finish() {
    if (Failed()) return false;
    if (fImpl->state == TReadState::done) return true;
    static const char* const what[] = {"the entry count", "the name length", "the name", "the size",
                                       "the zlib stream", ""};
    return Fail(fOffset, std::string("archive ends inside ") + what[int(fImpl->state)]);
}

}  // namespace orvant
