#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Component.h"
#include "platform/Streams.h"
#include "tests/support/ScratchDir.h"

using namespace orvant;

namespace {
struct TempDir : testsupport::TScratchDir {
    TempDir() : TScratchDir("orvant-streams") {}
};
}  // namespace

TEST(MulDiv, RoundsHalvesAwayFromZeroAndFlagsOverflow) {
    EXPECT_EQ(MulDiv(10, 1, 4), 3);     // 2.5 -> 3
    EXPECT_EQ(MulDiv(-10, 1, 4), -3);   // -2.5 -> -3
    EXPECT_EQ(MulDiv(10, -1, -4), 3);
    EXPECT_EQ(MulDiv(9, 1, 4), 2);      // 2.25 -> 2
    EXPECT_EQ(MulDiv(7, 1, 0), -1);
    EXPECT_EQ(MulDiv(INT32_MAX, 2, 1), -1);
    EXPECT_EQ(MulDiv(INT32_MAX, INT32_MAX, INT32_MAX), INT32_MAX);
    EXPECT_EQ(MulDiv(INT32_MIN, 1, 1), INT32_MIN);
    EXPECT_EQ(MulDiv(INT32_MIN, -1, 1), -1);
    EXPECT_EQ(MulDiv(1000, 16001, 16000), 1000);
    EXPECT_EQ(MulDiv(1000, 16008, 16000), 1001);
}

TEST(FileStream, CreateReadWriteSeekAndSize) {
    TempDir d;
    const auto name = d / "a.bin";
    {
        TFileStream f(name, fmCreate);
        EXPECT_EQ(f.Write("hello world", 11), 11);
        EXPECT_EQ(f.Size(), 11);
        EXPECT_EQ(f.Seek(-5, TSeekOrigin::soEnd), 6);
        char buf[8] = {};
        EXPECT_EQ(f.Read(buf, 8), 5);
        EXPECT_STREQ(buf, "world");
        EXPECT_EQ(f.Read(buf, 8), 0);
        f.SetSize(20);
        EXPECT_EQ(f.Size(), 20);
        f.SetSize(5);
        EXPECT_EQ(f.Size(), 5);
        EXPECT_EQ(f.Position(), 5);
    }
    {
        TFileStream f(name, fmCreate);  // an existing file is emptied
        EXPECT_EQ(f.Size(), 0);
    }
}

TEST(FileStream, FailuresCarryTheRuntimeTextsAndFullPath) {
    TempDir d;
    try {
        TFileStream f("/nonexistent-dir/x.wav", fmOpenRead | fmShareDenyWrite);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Datei /nonexistent-dir/x.wav kann nicht geöffnet werden. ", 0), 0u)
            << e.what();
    }
    try {
        TFileStream f("/nonexistent-dir/x.wav", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Datei \"/nonexistent-dir/x.wav\" kann nicht erstellt werden. ", 0), 0u)
            << e.what();
    }
    // A folder is not a file.
    EXPECT_THROW(TFileStream(d.Path(), fmOpenRead), EFOpenError);
}

TEST(FileStream, ShareModesWithinTheProcess) {
    TempDir d;
    const auto name = d / "take.wav";
    { TFileStream f(name, fmCreate); f.Write("RIFF", 4); }

    {   // A reader that denies writing: other readers fine, writers refused,
        // and a create must not empty the file.
        TFileStream reader(name, fmOpenRead | fmShareDenyWrite);
        TFileStream reader2(name, fmOpenRead | fmShareDenyWrite);
        EXPECT_THROW(TFileStream(name, fmOpenWrite | fmShareDenyNone), EFOpenError);
        EXPECT_THROW(TFileStream(name, fmCreate | fmShareDenyWrite), EFCreateError);
        EXPECT_EQ(reader.Size(), 4);
        EXPECT_THROW(TFileStream(name, fmOpenRead | fmShareExclusive), EFOpenError);
    }
    {   // A writer that denies writing lets readers in only if they allow writing.
        TFileStream writer(name, fmCreate | fmShareDenyWrite);
        EXPECT_NO_THROW(TFileStream(name, fmOpenRead | fmShareDenyNone));
        EXPECT_THROW(TFileStream(name, fmOpenRead | fmShareDenyWrite), EFOpenError);
    }
    {
        TFileStream excl(name, fmOpenReadWrite | fmShareExclusive);
        try {
            TFileStream f(name, fmOpenRead | fmShareDenyNone);
            FAIL();
        } catch (const EFOpenError& e) {
            EXPECT_NE(std::string(e.what()).find("dieses Programms"), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW(TFileStream(name, fmOpenReadWrite | fmShareExclusive));  // all closed again
}

TEST(FileStream, ShareModesBetweenProcesses) {
    TempDir d;
    const auto name = d / "shared.wav";
    { TFileStream f(name, fmCreate); }
    TFileStream reader(name, fmOpenRead | fmShareDenyWrite);
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 0;
        try { TFileStream w(name, fmOpenWrite | fmShareDenyNone); code = 1; } catch (const EFOpenError&) {}
        try { TFileStream r(name, fmOpenRead | fmShareDenyWrite); } catch (...) { code = 2; }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MemoryStream, OneContiguousBlockThatGrowsAndTruncates) {
    TMemoryStream m;
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(m.Write(&i, 4), 4);
    EXPECT_EQ(m.Size(), 400000);
    const int* p = static_cast<const int*>(m.Memory());
    EXPECT_EQ(p[99999], 99999);
    m.SetPosition(400008);  // writing past the end fills the gap with zeros
    int v = 7;
    m.Write(&v, 4);
    EXPECT_EQ(static_cast<const int*>(m.Memory())[100000], 0);
    EXPECT_EQ(m.Size(), 400012);
    m.SetSize(8);
    EXPECT_EQ(m.Position(), 8);
    m.SetPosition(0);
    int r[3] = {};
    EXPECT_EQ(m.Read(r, 12), 8);
    EXPECT_EQ(r[1], 1);
    EXPECT_EQ(m.Seek(-1, TSeekOrigin::soBeginning), -1);
}

namespace {
struct Probe : TComponent {
    using TComponent::TComponent;
    TComponent* watched = nullptr;
    bool* destroyedFlag = nullptr;
    ~Probe() override { Destroying(); if (destroyedFlag) *destroyedFlag = true; }
    void Notification(TComponent* c, TOperation op) override {
        if (op == TOperation::opRemove && c == watched) watched = nullptr;
    }
};
}  // namespace

TEST(Component, OwnerDestroysOwnedAndFreeNotificationClearsReferences) {
    bool childGone = false;
    auto* owner = new Probe(nullptr);
    auto* child = new Probe(owner);
    child->destroyedFlag = &childGone;
    auto* watcher = new Probe(nullptr);
    auto* watched = new Probe(nullptr);
    watcher->watched = watched;
    watcher->FreeNotification(watched);
    delete watched;
    EXPECT_EQ(watcher->watched, nullptr);
    delete watcher;
    EXPECT_EQ(owner->Components().size(), 1u);
    delete owner;
    EXPECT_TRUE(childGone);
}
