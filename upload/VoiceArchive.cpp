#include "upload/VoiceArchive.h"

#include <cerrno>
#include <cstdio>
#include <vector>
#include <zlib.h>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "upload/UFileUtils.h"

namespace orvant {

namespace {

constexpr size_t kChunk = 256 * 1024;

void WriteInt32(TStream& s, int32_t v) {
    const uint32_t u = uint32_t(v);
    const uint8_t b[4] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
    s.WriteBuffer(b, 4);
}

std::string NamePart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One zlib deflater at level 9, window bits 15, memory level 8, default
// strategy, freed however the entry ends.
class TDeflater {
public:
    TDeflater() {
        if (deflateInit2(&fZ, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw Exception(std::string("Compression error: ") + (fZ.msg ? fZ.msg : "cannot initialise zlib"));
    }
    ~TDeflater() { deflateEnd(&fZ); }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;
    z_stream& Z() { return fZ; }

private:
    z_stream fZ {};
};

// Compresses exactly size bytes of source, from its current position, into
// dest as one complete zlib stream, holding no more than one chunk of each.
void CompressEntry(TStream& source, int64_t size, TStream& dest, std::vector<uint8_t>& in,
                   std::vector<uint8_t>& out) {
    TDeflater d;
    z_stream& z = d.Z();
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
            const int r = deflate(&z, flush);
            if (r == Z_STREAM_ERROR)
                throw Exception(std::string("Compression error: ") + (z.msg ? z.msg : "stream error"));
            dest.WriteBuffer(out.data(), int32_t(out.size() - z.avail_out));
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
}

}  // namespace

bool BuildVoiceArchive(const std::vector<std::string>& files, const std::string& archivePath,
                       TArchiveProgress* progress) {
    TArchiveProgress none;
    TArchiveProgress& p = progress ? *progress : none;
    const int32_t count = int32_t(files.size());

    if (FileExists(archivePath)) std::remove(archivePath.c_str());
    {
        TFileStream archive(archivePath, fmCreate | fmShareExclusive);
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

        std::vector<uint8_t> in(kChunk), out(kChunk);
        for (int32_t i = 0; i < count; ++i) {
            const std::string& path = files[size_t(i)];
            TFileStream source(path, fmOpenRead | fmShareExclusive);
            const int64_t size = source.Size();
            if (size < 0) throw EReadError("Datei " + source.FileName() + ": " + SysErrorMessage(errno));
            if (size > kMaxArchiveEntrySize)
                throw Exception("File " + source.FileName() +
                                " is 2 GiB or larger and cannot be packed into the voice archive.");

            const std::u16string name = Utf8ToUtf16(NamePart(path)) + u'\0';
            std::vector<uint8_t> nameBytes;
            nameBytes.reserve(name.size() * 2);
            for (char16_t c : name) {
                nameBytes.push_back(uint8_t(c));
                nameBytes.push_back(uint8_t(c >> 8));
            }
            WriteInt32(archive, int32_t(nameBytes.size()));
            archive.WriteBuffer(nameBytes.data(), int32_t(nameBytes.size()));
            WriteInt32(archive, int32_t(size));
            CompressEntry(source, size, archive, in, out);

            p.SetProgressPosition(i);
            p.RepaintProgress();
            if (i % 20 == 0) p.ProcessMessages();
        }
    }
    return FileExists(archivePath);
}

}  // namespace orvant
