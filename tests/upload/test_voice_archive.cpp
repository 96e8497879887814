#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include "platform/Streams.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/UFileUtils.h"
#include "upload/VoiceArchive.h"

using namespace orvant;
using namespace orvant::testing;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += char(v);
    return s;
}

std::string Int32(int32_t v) {
    return Bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int((v >> 24) & 0xFF)});
}

struct TTrace : TArchiveProgress {
    int32_t max = -1;
    std::vector<int32_t> positions;
    std::vector<int32_t> pumpsAt;  // position when messages were let run
    void SetProgressMax(int32_t m) override { max = m; }
    void SetProgressPosition(int32_t p) override { positions.push_back(p); }
    void ProcessMessages() override { pumpsAt.push_back(positions.empty() ? -1 : positions.back()); }
    int32_t cancelAt = -1;
    bool Cancelled() override { return !pumpsAt.empty() && pumpsAt.back() == cancelAt; }
};

}  // namespace

TEST(VoiceArchive, InfoFileAloneGivesTheDocumentedLayout) {
    TScratchDir d;
    const std::string info = "Speakername=Unknown\r\nCountry=Unknown\r\nRegion=";
    ASSERT_EQ(info.size(), 45u);
    WriteFile(d / "info.txt", info);
    ASSERT_TRUE(BuildVoiceArchive({d / "info.txt"}, d / "a.zlb"));
    std::string a = ReadFile(d / "a.zlb");
    const std::string head = Int32(1) + Int32(18) +
                             Bytes({0x69, 0, 0x6E, 0, 0x66, 0, 0x6F, 0, 0x2E, 0, 0x74, 0, 0x78, 0, 0x74, 0, 0, 0}) +
                             Int32(45) + Bytes({0x78, 0xDA});
    ASSERT_EQ(a.substr(0, head.size()), head);

    // The stream inflates to the file and ends exactly at the archive's end.
    z_stream z {};
    ASSERT_EQ(inflateInit(&z), Z_OK);
    std::string out(100, '\0');
    z.next_in = reinterpret_cast<Bytef*>(a.data() + 30);
    z.avail_in = uInt(a.size() - 30);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    EXPECT_EQ(out.substr(0, z.total_out), info);
    inflateEnd(&z);
}

TEST(VoiceArchive, EmptyFileGivesTheEightByteStreamAndSameContentGivesSameStreams) {
    TScratchDir d;
    WriteFile(d / "empty.wav", "");
    WriteFile(d / "a.wav", PseudoAudio(5000, 1));
    WriteFile(d / "b.wav", PseudoAudio(5000, 1));
    ASSERT_TRUE(BuildVoiceArchive({d / "empty.wav", d / "a.wav", d / "b.wav"}, d / "x.zlb"));
    const std::string a = ReadFile(d / "x.zlb");
    const std::string first = Int32(3) + Int32(20) + std::string("e\0m\0p\0t\0y\0.\0w\0a\0v\0\0\0", 20) + Int32(0) +
                              Bytes({0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    ASSERT_EQ(a.substr(0, first.size()), first);
    // Entries a.wav and b.wav: same header but the name, same stream.
    const size_t entryA = first.size();
    const size_t nameLen = 12;  // "a.wav" + NUL in UTF-16
    const size_t b = a.find(std::string("b\0.\0w\0a\0v\0\0\0", 12), entryA);
    ASSERT_NE(b, std::string::npos);
    const std::string streamA = a.substr(entryA + 4 + nameLen + 4, b - 4 - (entryA + 4 + nameLen + 4));
    const std::string streamB = a.substr(b + nameLen + 4);
    EXPECT_EQ(streamA, streamB);
    EXPECT_EQ(streamA.substr(0, 2), Bytes({0x78, 0xDA}));
}

TEST(VoiceArchive, NameOutsideTheBasicPlaneIsStoredAsSurrogatePairs) {
    TScratchDir d;
    const std::string name = "take_\xF0\x9F\x8E\xA4.wav";  // U+1F3A4
    WriteFile(d / name, "abc");
    ASSERT_TRUE(BuildVoiceArchive({d / name}, d / "x.zlb"));
    const std::string a = ReadFile(d / "x.zlb");
    // 5 + 2 + 4 code units and the NUL: 24 bytes.
    const std::string expected = Int32(1) + Int32(24) + std::string("t\0a\0k\0e\0_\0", 10) +
                                 Bytes({0x3C, 0xD8, 0xA4, 0xDF}) + std::string(".\0w\0a\0v\0\0\0", 10) + Int32(3);
    EXPECT_EQ(a.substr(0, expected.size()), expected);
    bool ok = false;
    const std::string report = CheckArchiveWithPython(d / "x.zlb", "", ok);
    EXPECT_TRUE(ok) << report;
    EXPECT_NE(report.find("\\ud83c\\udfa4"), std::string::npos) << report;
}

TEST(VoiceArchive, PythonReadsEveryEntryBackAndThreadsChangeNoByte) {
    TScratchDir src, out;
    // Sizes around the builder's chunk of 256 KiB, empty, tiny and noisy; a
    // long entry first, so that later ones are compressed before their turn.
    WriteFile(src / "long.wav", PseudoAudio(3 * 1024 * 1024, 4));
    WriteFile(src / "info.txt", "Speakername=Unknown\r\nCountry=Unknown\r\nRegion=Unknown\r\n");
    WriteFile(src / "zero.wav", "");
    WriteFile(src / "one.wav", "x");
    WriteFile(src / "chunk.wav", PseudoAudio(256 * 1024, 2));
    WriteFile(src / "chunk1.wav", PseudoAudio(256 * 1024 + 1, 3));
    std::string noise(70000, '\0');
    uint32_t x = 7;
    for (char& c : noise) c = char((x = x * 1103515245u + 12345u) >> 23);
    WriteFile(src / "noise.wav", noise);
    std::vector<std::string> files = {src / "long.wav"};
    for (auto& e : std::filesystem::directory_iterator(src.Path()))
        if (e.path().filename() != "long.wav") files.push_back(e.path().string());
    ASSERT_TRUE(BuildVoiceArchive(files, out / "v1.zlb", nullptr, 1));
    bool ok = false;
    const std::string report = CheckArchiveWithPython(out / "v1.zlb", src.Path(), ok);
    EXPECT_TRUE(ok) << report;
    for (unsigned threads : {2u, 3u, 8u}) {
        const std::string path = out / ("v" + std::to_string(threads) + "t.zlb");
        ASSERT_TRUE(BuildVoiceArchive(files, path, nullptr, threads));
        EXPECT_TRUE(ReadFile(path) == ReadFile(out / "v1.zlb")) << threads << " threads";
    }
}

TEST(VoiceArchive, ReportsProgressPerFileLetsMessagesRunEveryTwentyFilesAndStopsWhenCancelled) {
    TScratchDir d;
    std::vector<std::string> files;
    for (int i = 0; i < 45; ++i) {
        std::string name = "t";  // built in steps: GCC 12 at -O3 warns wrongly on "t" + to_string(i)
        name += std::to_string(i);
        files.push_back(d / (name + ".wav"));
        WriteFile(files.back(), std::to_string(i));
    }
    TTrace t;
    ASSERT_TRUE(BuildVoiceArchive(files, d / "x.zlb", &t));
    EXPECT_EQ(t.max, 45);
    std::vector<int32_t> expected = {0};
    for (int i = 0; i < 45; ++i) expected.push_back(i);
    expected.push_back(45);
    EXPECT_EQ(t.positions, expected);
    EXPECT_EQ(t.pumpsAt, (std::vector<int32_t>{0, 20, 40}));

    // Called off while messages ran after file 20: nothing more is packed.
    TTrace c;
    c.cancelAt = 20;
    EXPECT_FALSE(BuildVoiceArchive(files, d / "y.zlb", &c));
    expected.resize(22);
    expected.push_back(45);
    EXPECT_EQ(c.positions, expected);
    EXPECT_EQ(ReadFile(d / "y.zlb").substr(0, 4), Int32(45));
}

TEST(VoiceArchive, AFileOpenElsewhereStopsTheBuildWithTheOpenError) {
    TScratchDir d;
    WriteFile(d / "a.wav", "aaaa");
    WriteFile(d / "busy.wav", "bbbb");
    WriteFile(d / "c.wav", "cccc");
    // Even a reader that shares everything keeps the build out.
    TFileStream reader(d / "busy.wav", fmOpenRead | fmShareDenyNone);
    TTrace t;
    try {
        BuildVoiceArchive({d / "a.wav", d / "busy.wav", d / "c.wav"}, d / "x.zlb", &t);
        ADD_FAILURE() << "the build went on";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Datei " + d / "busy.wav" + " kann nicht geöffnet werden. ", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(t.positions.back(), 3);  // the bar shows full
    // The partial archive stays for the caller to delete.
    EXPECT_TRUE(std::filesystem::exists(d / "x.zlb"));
    // No intermediate file anywhere near.
    EXPECT_FALSE(std::filesystem::exists("tmp"));
    EXPECT_FALSE(std::filesystem::exists(d / "tmp"));
}

TEST(VoiceArchive, MissingFileAndUncreatableArchiveRaiseTheStreamErrors) {
    TScratchDir d;
    EXPECT_THROW(BuildVoiceArchive({d / "gone.wav"}, d / "x.zlb"), EFOpenError);
    WriteFile(d / "a.wav", "a");
    try {
        BuildVoiceArchive({d / "a.wav"}, d / "no/such/folder/x.zlb");
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Datei \"" + d / "no/such/folder/x.zlb" + "\" kann nicht erstellt werden. ", 0), 0u);
    }
}

TEST(VoiceArchive, ArchiveIsANewPrivateFileAndATakenNameIsLeftAlone) {
    TScratchDir d, victim;
    WriteFile(d / "a.wav", "a");
    WriteFile(victim / "secret", "keep me");
    const auto t = std::chrono::system_clock::now();
    const std::string first = d / ("v" + FormatLocalTime("yymmddhhnnsszzz", t) + ".zlb");
    const std::string second = d / ("v" + FormatLocalTime("yymmddhhnnsszzz", t + std::chrono::milliseconds(1)) + ".zlb");
    const std::string third = d / ("v" + FormatLocalTime("yymmddhhnnsszzz", t + std::chrono::milliseconds(2)) + ".zlb");
    // Another user's file and a planted link hold the first two names.
    WriteFile(first, "not ours");
    ASSERT_EQ(::symlink((victim / "secret").c_str(), second.c_str()), 0);
    EXPECT_THROW(BuildVoiceArchive({d / "a.wav"}, first), EFCreateError);
    EXPECT_THROW(BuildVoiceArchive({d / "a.wav"}, second), EFCreateError);

    std::string path;
    {
        const std::unique_ptr<TFileStream> f = CreateVoiceArchiveFile(d.Path(), path, t);
        EXPECT_EQ(path, third);
        ASSERT_TRUE(WriteVoiceArchive({d / "a.wav"}, *f));
    }
    struct stat st {};
    ASSERT_EQ(::stat(third.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(first), "not ours");
    EXPECT_EQ(ReadFile(victim / "secret"), "keep me");
    bool ok = false;
    const std::string report = CheckArchiveWithPython(third, "", ok);
    EXPECT_TRUE(ok) << report;
}

TEST(VoiceArchive, FileOfTwoGibibytesIsRefusedBeforeItsEntryIsWritten) {
    TScratchDir d;
    WriteFile(d / "small.wav", "small");
    WriteFile(d / "huge.wav", "");
    ASSERT_EQ(::truncate((d / "huge.wav").c_str(), int64_t(1) << 31), 0);  // sparse
    try {
        BuildVoiceArchive({d / "small.wav", d / "huge.wav"}, d / "x.zlb");
        ADD_FAILURE() << "a 2 GiB file was accepted";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("2 GiB"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(d / "huge.wav"), std::string::npos) << e.what();
    }
    ASSERT_TRUE(BuildVoiceArchive({d / "small.wav"}, d / "one.zlb"));
    std::string partial = ReadFile(d / "x.zlb");
    const std::string one = ReadFile(d / "one.zlb");
    ASSERT_GE(partial.size(), 4u);
    EXPECT_EQ(partial.substr(0, 4), Int32(2));
    EXPECT_EQ(partial.substr(4), one.substr(4));  // nothing of the huge entry
}
