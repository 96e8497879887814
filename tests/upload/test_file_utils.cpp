#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/SysUtils.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/UFileUtils.h"

using namespace orvant;
using namespace orvant::testing;

namespace {

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// A folder as the recorded folder may look: takes, a dot-file, info.txt, a
// subfolder, a dot-subfolder, a pipe and a link to a take.
struct TRecordedFolder {
    TScratchDir dir;
    TRecordedFolder() {
        WriteFile(dir / "take1.wav", "1");
        WriteFile(dir / ".take2.wav", "2");
        WriteFile(dir / "info.txt", "i");
        std::filesystem::create_directory(dir / "sub");
        WriteFile(dir / "sub/deep.wav", "d");
        std::filesystem::create_directory(dir / ".hidden");
        WriteFile(dir / ".hidden/secret.wav", "s");
        ::mkfifo((dir / "pipe").c_str(), 0600);
        std::filesystem::create_directory_symlink(dir.Path(), dir / "loop");
    }
};

}  // namespace

TEST(ListFolderFiles, KeepsTheFolderOwnFilesOnlyWithoutSubfolders) {
    TRecordedFolder f;
    std::vector<std::string> withSlash, without;
    ListFolderFiles(withSlash, f.dir.Path(), "*.*", false);
    ListFolderFiles(without, f.dir.Path().substr(0, f.dir.Path().size() - 1), "*.*", false);
    EXPECT_EQ(Sorted(withSlash), (std::vector<std::string>{f.dir / "info.txt", f.dir / "take1.wav"}));
    EXPECT_EQ(withSlash, without);
}

TEST(ListFolderFiles, SubfoldersFollowTheFolderOwnFilesAndDotFoldersAreNotSearched) {
    TRecordedFolder f;
    std::vector<std::string> list;
    ListFolderFiles(list, f.dir.Path(), "*.*", true);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(Sorted({list[0], list[1]}), (std::vector<std::string>{f.dir / "info.txt", f.dir / "take1.wav"}));
    EXPECT_EQ(list[2], f.dir / "sub/deep.wav");  // the link back to the folder is not followed
}

TEST(ListFolderFiles, AppendsAndLeavesTheListAloneWhenNothingMatches) {
    TRecordedFolder f;
    std::vector<std::string> list = {"earlier"};
    ListFolderFiles(list, f.dir / "missing", "*.*", true);
    ListFolderFiles(list, f.dir.Path(), "*.mp3", false);
    EXPECT_EQ(list, std::vector<std::string>{"earlier"});
    ListFolderFiles(list, f.dir.Path(), "*.wav", false);
    EXPECT_EQ(list, (std::vector<std::string>{"earlier", f.dir / "take1.wav"}));
}

TEST(ListFolderFiles, ListsFilesWithoutReadPermissionSoThatTheBuildReportsThem) {
    TScratchDir d;
    WriteFile(d / "locked.wav", "x");
    ::chmod((d / "locked.wav").c_str(), 0);
    std::vector<std::string> list;
    ListFolderFiles(list, d.Path(), "*.*", false);
    EXPECT_EQ(list, std::vector<std::string>{d / "locked.wav"});
}

TEST(GetTempFolder, FollowsTmpdirAndEndsInADelimiter) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(GetTempFolder(), "/var/tmp/");
    ::setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(GetTempFolder(), "/var/tmp/");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(GetTempFolder(), "/tmp/");
    ::setenv("TMPDIR", "/", 1);
    try {
        GetTempFolder();
        ADD_FAILURE() << "no error for a temporary folder of one character";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unable to locate temp folder.");
    }
    if (old) ::setenv("TMPDIR", saved.c_str(), 1);
    else ::unsetenv("TMPDIR");
}

TEST(GetFileSizeOf, GivesTheLow32BitsAndZeroForNothing) {
    TScratchDir d;
    WriteFile(d / "empty", "");
    WriteFile(d / "five", "12345");
    EXPECT_EQ(GetFileSizeOf(d / "empty"), 0);
    EXPECT_EQ(GetFileSizeOf(d / "missing"), 0);
    EXPECT_EQ(GetFileSizeOf(d.Path()), 0);
    EXPECT_EQ(GetFileSizeOf(d / "five"), 5);
    // A sparse file of 4 GiB + 5 bytes.
    WriteFile(d / "huge", "");
    ASSERT_EQ(::truncate((d / "huge").c_str(), (int64_t(1) << 32) + 5), 0);
    EXPECT_EQ(GetFileSizeOf(d / "huge"), 5);
}

TEST(FormatLocalTime, PutsTheFieldsInThePatternOrder) {
    std::tm tm {};
    tm.tm_year = 112;
    tm.tm_mon = 9;
    tm.tm_mday = 8;
    tm.tm_hour = 15;
    tm.tm_min = 30;
    tm.tm_sec = 12;
    tm.tm_isdst = -1;
    const auto t = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(345);
    EXPECT_EQ(FormatLocalTime("yymmddhhnnsszzz", t), "121008153012345");
    EXPECT_EQ(FormatLocalTime("mmddyyhhnnsszzz", t), "100812153012345");
    EXPECT_EQ(FormatLocalTime("v-yy.zzz", t + std::chrono::milliseconds(660)), "v-12.005");
}

TEST(ToLocaleCharset, EncodesInTheLocaleSetAndMarksWhatItLacks) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
    EXPECT_EQ(ToLocaleCharset("J\xC3\xBCrgen \xF0\x9F\x98\x80"), "J\xC3\xBCrgen \xF0\x9F\x98\x80");
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C"));
    EXPECT_EQ(ToLocaleCharset("J\xC3\xBCrgen \xF0\x9F\x98\x80\r\n"), "J?rgen ?\r\n");
    EXPECT_EQ(ToLocaleCharset("bad \xFF byte"), "bad ? byte");
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(Utf8ToUtf16, MakesSurrogatePairsAndReplacesBrokenBytes) {
    EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x8E\xA4"), (std::u16string{u'a', 0xE9, 0xD83C, 0xDFA4}));
    EXPECT_EQ(Utf8ToUtf16("x\xC3"), (std::u16string{u'x', 0xFFFD}));
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
}
