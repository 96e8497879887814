// The archive reader and the multipart reader, fed in every chunking: what
// the server and the tools see of an upload before anything is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "collect/Multipart.h"
#include "collect/Tools.h"
#include "upload/HttpUpload.h"
#include "tests/collect/CollectTestSupport.h"

using namespace orvant;
using namespace orvant::collect;
using namespace orvant::collecttest;

namespace {

// Everything the reader handed on, checked for order as it came.
struct TRecorder : TArchiveEntrySink {
    std::vector<std::pair<std::string, std::string>> entries;  // name, inflated bytes
    std::vector<uint32_t> sizes;
    bool open = false, misordered = false;
    void EntryBegin(const std::string& name, uint32_t size) override {
        misordered = misordered || open;
        open = true;
        entries.emplace_back(name, "");
        sizes.push_back(size);
    }
    void EntryData(const uint8_t* d, size_t n) override {
        misordered = misordered || !open;
        entries.back().second.append(reinterpret_cast<const char*>(d), n);
    }
    void EntryEnd() override {
        misordered = misordered || !open;
        open = false;
    }
};

struct TReadResult {
    bool ok;
    std::string error;
    uint64_t offset;
    std::vector<std::pair<std::string, std::string>> entries;
    bool operator==(const TReadResult&) const = default;
};

TReadResult ReadInChunks(const std::string& archive, size_t chunk) {
    TRecorder rec;
    TVoiceArchiveReader reader(rec);
    const auto* p = reinterpret_cast<const uint8_t*>(archive.data());
    for (size_t i = 0; i < archive.size() && reader.Feed(p + i, std::min(chunk, archive.size() - i)); i += chunk) {
    }
    const bool ok = reader.Finish();
    EXPECT_FALSE(rec.misordered);
    return {ok, reader.Error(), reader.ErrorOffset(), rec.entries};
}

const std::string kInfo = "Speakername=Ann\r\nCountry=NZ\r\nRegion=Otago\r\n";

std::string Good() { return Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"p001.wav", Wave(std::string(400, 'x'))); }

// An entry whose stream is cut off half-way: a zlib stream that never ends.
std::string Truncated() {
    const std::string e = Entry(u"a.wav", orvant::testing::PseudoAudio(5000, 1));
    return Int32(1) + e.substr(0, e.size() - 40);
}

}  // namespace

TEST(ArchiveReader, AcceptsWhatTheProgramWritesAndRefusesEachHostileArchiveAtItsFirstBadByte) {
    orvant::testing::TScratchDir d;
    const std::string audio = Wave(orvant::testing::PseudoAudio(300000, 7));
    orvant::testing::WriteFile(d / "info.txt", kInfo);
    orvant::testing::WriteFile(d / "p001.wav", audio);
    orvant::testing::WriteFile(d / "empty.txt", "");
    orvant::testing::WriteFile(d / "\xC3\xA4-\xF0\x9F\x8E\xA4.wav", "x");  // a name with a surrogate pair
    const std::string program = WriteArchive(
        std::vector<std::string>{d / "info.txt", d / "p001.wav", d / "empty.txt", d / "\xC3\xA4-\xF0\x9F\x8E\xA4.wav"});
    const std::string good = Good();
    const std::string past = Int32(1) + Int32(8) + Name16(u"a.x") + Int32(10) + Deflate(std::string(100, 'a'));
    const std::string shortOf = Int32(1) + Int32(8) + Name16(u"a.x") + Int32(200) + Deflate(std::string(100, 'a'));
    std::string corrupt = Int32(1) + Entry(u"a.x", std::string(1000, 'q'));
    corrupt[corrupt.size() - 8] ^= 0x55;
    const auto named = [](const std::u16string& n) { return Int32(1) + Entry(n, "data"); };

    struct TCase {
        const char* what;
        std::string archive;
        std::string error;  // empty: whole
        uint64_t offset;
    } cases[] = {
        {"the program's archive", program, "", 0},
        {"a hand-made archive", good, "", 0},
        {"no entries", Int32(0), "", 0},
        {"count 2^31", Int32(int32_t(0x80000000u)) + good.substr(4), "entry count -2147483648 out of range", 0},
        {"count -1", Int32(-1), "entry count -1 out of range", 0},
        {"count far above the entries", Int32(0x7FFFFFFF) + good.substr(4), "entry count 2147483647 out of range", 0},
        {"count above the entries", Int32(3) + good.substr(4), "archive ends inside the name length", good.size()},
        {"name length -1", Int32(1) + Int32(-1), "entry 1: name length -1", 4},
        {"odd name length", Int32(1) + Int32(7) + "abcdefg", "entry 1: name length 7", 4},
        {"huge name length", Int32(1) + Int32(0x7FFFFFF0), "entry 1: name length 2147483632", 4},
        {"name leaving the folder", named(u"../x"), "name with a folder separator", 8},
        {"name with a slash", named(u"a/b"), "name with a folder separator", 8},
        {"name with a backslash", named(u"a\\b"), "name with a folder separator", 8},
        {"name \"..\"", named(u".."), "name \".\" or \"..\"", 8},
        {"leading dot", named(u".x.wav"), "name with a leading dot", 8},
        {"lone surrogate", named(std::u16string(u"a") + char16_t(0xD800) + u"b"), "lone surrogate", 8},
        {"lone low surrogate", named(std::u16string(1, char16_t(0xDC00))), "lone surrogate", 8},
        {"control character", named(u"a\tb"), "control character", 8},
        {"name without its NUL", Int32(1) + Int32(6) + Name16(u"abc", false), "not ended by a NUL", 12},
        {"name used twice", Int32(2) + Entry(u"a.wav", "1") + Entry(u"a.wav", "2"), "name used by an earlier entry",
         4 + Entry(u"a.wav", "1").size() + 4},
        {"size below 0", Int32(1) + Int32(8) + Name16(u"a.x") + Int32(-5), "size -5 below 0", 16},
        {"zlib stream that never ends", Truncated(), "ends inside the zlib stream", Truncated().size()},
        {"entry inflating past its size", past, "inflates past its declared size of 10 bytes", 0},
        {"entry past its size with a bad checksum", [&] {
             std::string a = past;
             a.back() ^= 1;
             return a;
         }(), "inflates past its declared size of 10 bytes", 0},
        {"entry short of its size", shortOf, "ends after 100 of its declared 200 bytes", 0},
        {"corrupt stream", corrupt, "corrupt zlib stream", 0},
        {"trailing garbage", good + "x", "archive: bytes after the last entry", good.size()},
        {"trailing garbage after no entries", Int32(0) + std::string(1, '\0'), "bytes after the last entry", 4},
        {"empty input", "", "archive ends inside the entry count", 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        const TReadResult whole = ReadInChunks(c.archive, c.archive.size() + 1);
        EXPECT_EQ(whole.ok, c.error.empty()) << whole.error;
        EXPECT_NE(whole.error.find(c.error), std::string::npos) << whole.error;
        if (!c.error.empty() && c.offset) {
            EXPECT_EQ(whole.offset, c.offset) << whole.error;
        }
        // The same result, byte offset and entries whatever the chunking.
        const size_t top = std::min<size_t>(c.archive.size(), c.archive.size() > 20000 ? 70 : 600);
        for (size_t chunk = 1; chunk <= top; ++chunk) {
            const TReadResult r = ReadInChunks(c.archive, chunk);
            ASSERT_EQ(r.ok, whole.ok) << "chunk " << chunk << ": " << r.error;
            ASSERT_EQ(r.error.substr(0, r.error.find(" (at byte")), whole.error.substr(0, whole.error.find(" (at byte")))
                << "chunk " << chunk;
            // Inflate errors are found at the piece that holds them.
            if (c.error.find("zlib") == std::string::npos && c.error.find("inflates") == std::string::npos) {
                ASSERT_EQ(r.offset, whole.offset) << "chunk " << chunk;
            }
            ASSERT_EQ(r.entries.size(), whole.entries.size()) << "chunk " << chunk;
            if (whole.ok) {
                ASSERT_TRUE(r.entries == whole.entries) << "chunk " << chunk;
            }
        }
    }
    // What the whole archives hold, byte for byte.
    const TReadResult p = ReadInChunks(program, 4096);
    ASSERT_EQ(p.entries.size(), 4u);
    EXPECT_EQ(p.entries[0], std::make_pair(std::string("info.txt"), kInfo));
    EXPECT_EQ(p.entries[1], std::make_pair(std::string("p001.wav"), audio));
    EXPECT_EQ(p.entries[2], std::make_pair(std::string("empty.txt"), std::string()));
    EXPECT_EQ(p.entries[3].first, "\xC3\xA4-\xF0\x9F\x8E\xA4.wav");
}

namespace {

struct TParts : TMultipartSink {
    std::vector<std::pair<std::string, std::string>> parts;  // name (file name after '|'), content
    bool open = false;
    void PartBegin(const std::string& name, const std::string& fileName) override {
        parts.emplace_back(fileName.empty() ? name : name + "|" + fileName, "");
        open = true;
    }
    void PartData(const uint8_t* d, size_t n) override { parts.back().second.append(reinterpret_cast<const char*>(d), n); }
    void PartEnd() override { open = false; }
};

}  // namespace

TEST(Multipart, SplitsTheProgramsBodyInEveryChunkingAndRefusesBrokenFraming) {
    const std::string b = "--------120926150000123";
    const TMultipartFrame frame = MakeMultipartFrame(b, "v261209150000123.zlb");
    ASSERT_EQ(MultipartBoundary(frame.ContentType()), b);
    // Content holding near misses of the delimiter, split anywhere.
    const std::string content = "\r\n--" + b.substr(0, 10) + "\r\n-" + std::string(300, '\r') + "--" + b + "x";
    const std::string body = frame.head + content + frame.tail;
    const std::string sndfile = frame.head.substr(frame.head.find("\r\n--" + b) + 2);
    const std::string filePart = sndfile.substr(0, sndfile.size());
    const std::string nameOnly = frame.head.substr(0, frame.head.find("\r\n--" + b) + 2);
    // The two fields the other way round.
    const std::string reversed = filePart + content + "\r\n" + nameOnly + "--" + b + "--\r\n";
    const std::string part = "--" + b + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n";

    struct TCase {
        const char* what;
        std::string body;
        std::string error;  // empty: read to the closing delimiter
        size_t parts;
    } cases[] = {
        {"the program's body", body, "", 2},
        {"fields in the other order", reversed, "", 2},
        {"a preamble and an epilogue", "preamble\r\n" + part + "--" + b + "--\r\n \r\n", "", 1},
        {"closing boundary missing", frame.head + content, "ends before the closing boundary", 2},
        {"no boundary at all", std::string(500, 'a'), "ends before the closing boundary", 0},
        {"boundary repeated", "--" + b + "\r\n" + part + "--" + b + "--\r\n", "malformed part header line", 0},
        {"part without disposition", "--" + b + "\r\nContent-Type: text/plain\r\n\r\nv\r\n--" + b + "--\r\n",
         "without Content-Disposition", 0},
        {"part without a name", "--" + b + "\r\nContent-Disposition: form-data\r\n\r\nv\r\n--" + b + "--\r\n",
         "part without a name", 0},
        {"garbage after a boundary", "--" + b + "xy\r\n", "not followed by CRLF", 0},
        {"bytes after the close", part + "--" + b + "--\r\nmore", "bytes after the closing boundary", 1},
        {"endless headers", "--" + b + "\r\nX: " + std::string(9000, 'h'), "longer than 8 KiB", 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::pair<std::string, std::string>> first;
        for (size_t chunk = 1; chunk <= c.body.size() + 1; chunk += chunk < 80 ? 1 : 97) {
            TParts sink;
            TMultipartReader reader(b, sink);
            const auto* p = reinterpret_cast<const uint8_t*>(c.body.data());
            for (size_t i = 0; i < c.body.size() && reader.Feed(p + i, std::min(chunk, c.body.size() - i)); i += chunk) {
            }
            const bool ok = reader.Finish();
            ASSERT_EQ(ok, c.error.empty()) << "chunk " << chunk << ": " << reader.Error();
            ASSERT_NE(reader.Error().find(c.error), std::string::npos) << reader.Error();
            ASSERT_EQ(sink.parts.size(), c.parts) << "chunk " << chunk;
            if (chunk == 1) first = sink.parts;
            ASSERT_TRUE(sink.parts == first) << "chunk " << chunk;
        }
        if (std::string(c.what) == "the program's body" || std::string(c.what) == "fields in the other order") {
            ASSERT_EQ(first.size(), 2u);
            const auto& file = first[0].first == "filename" ? first[1] : first[0];
            const auto& name = first[0].first == "filename" ? first[0] : first[1];
            EXPECT_EQ(file.first, "sndfile|v261209150000123.zlb");
            EXPECT_EQ(file.second, content);
            EXPECT_EQ(name.second, "v261209150000123.zlb");
        }
    }
    EXPECT_EQ(MultipartBoundary("multipart/form-data; charset=x; boundary=\"a b\""), "a b");
    EXPECT_EQ(MultipartBoundary("Multipart/Form-Data;boundary=xyz"), "xyz");
    EXPECT_EQ(MultipartBoundary("multipart/form-data"), "");
    EXPECT_EQ(MultipartBoundary("text/plain; boundary=xyz"), "");
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'b')), "");
}

TEST(ArchiveTools, VerifyNamesTheFirstBadByteAndUnpackNeverLeavesItsFolderOrReplacesAFile) {
    orvant::testing::TScratchDir d;
    const std::string good = Good();
    orvant::testing::WriteFile(d / "good.zlb", good);
    orvant::testing::WriteFile(d / "bad.zlb", Int32(2) + Entry(u"info.txt", kInfo) + Entry(u"../evil", "x"));
    orvant::testing::WriteFile(d / "victim", "keep");
    std::filesystem::create_directory(d / "real");
    std::filesystem::create_symlink(d / "real", d / "link");
    std::filesystem::create_directory(d / "trap");
    std::filesystem::create_symlink(d / "victim", d / "trap/p001.wav");

    struct TCase {
        const char* what;
        std::vector<std::string> args;  // verify FILE | unpack FILE DIR
        int status;
        std::string out, err;  // expected in the output / error line
    } cases[] = {
        {"verify a whole archive", {"good.zlb"}, 0,
         "good.zlb: whole, 2 entries, " + std::to_string(kInfo.size() + 444) + " bytes from " + std::to_string(good.size()),
         ""},
        {"verify a hostile one", {"bad.zlb"}, 1, "",
         "entry 2: name with a folder separator (at byte " + std::to_string(4 + Entry(u"info.txt", kInfo).size() + 4) +
             ")\n"},
        {"verify a missing file", {"none.zlb"}, 2, "", "No such file"},
        {"unpack into a new folder", {"good.zlb", "out"}, 0, "unpacked 2 entries", ""},
        {"unpack over what is there", {"good.zlb", "out"}, 1, "", "refusing to overwrite"},
        {"unpack a hostile archive", {"bad.zlb", "out2"}, 1, "", "folder separator"},
        {"unpack into a link", {"good.zlb", "link"}, 2, "", "links are not followed"},
        {"unpack onto a link in the folder", {"good.zlb", "trap"}, 1, "", "refusing to overwrite"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out, err;
        const int status = c.args.size() == 1 ? VerifyArchive(d / c.args[0], out, err)
                                              : UnpackArchive(d / c.args[0], d / c.args[1], out, err);
        const std::string o = out.str(), e = err.str();
        EXPECT_EQ(status, c.status) << e;
        EXPECT_NE(o.find(c.out), std::string::npos) << o;
        EXPECT_NE(e.find(c.err), std::string::npos) << e;
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), c.status ? 1 : 0) << e;
    }
    EXPECT_EQ(orvant::testing::ReadFile(d / "out/info.txt"), kInfo);
    EXPECT_EQ(orvant::testing::ReadFile(d / "out/p001.wav"), Wave(std::string(400, 'x')));
    EXPECT_FALSE(std::filesystem::exists(d / "out2"));  // verified first: nothing made
    EXPECT_FALSE(std::filesystem::exists(d / "evil"));
    EXPECT_TRUE(std::filesystem::is_empty(d / "real"));
    EXPECT_EQ(orvant::testing::ReadFile(d / "victim"), "keep");
}
