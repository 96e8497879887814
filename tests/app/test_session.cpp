// The session's rules without the window: which take "Rec" writes, the
// order the phrase keys walk, the progress counts, and which commands are
// open in each state of the devices.
#include <gtest/gtest.h>

#include <map>

#include "app/Session.h"
#include "platform/SysUtils.h"
#include "tests/app/AppTest.h"

namespace orvant::test {
namespace {

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        pf.Catalogue(kNestedTakesCatalogue);
        ASSERT_EQ(phrases.Load(pf.dir + "orvant.xml", pf.dir), "");
        for (const TWavInfo& r : phrases.All()) byCaption[r.caption] = &r;
    }
    const TWavInfo* R(const std::string& caption) { return caption.empty() ? nullptr : byCaption.at(caption); }
    static std::string Caption(const TWavInfo* r) { return r ? r->caption : "-"; }

    ProgramFolder pf;
    TPhraseRecords phrases;
    TTakes takes{phrases};
    std::map<std::string, const TWavInfo*> byCaption;
};

TEST_F(Session, RecTargetAndPhraseKeysFollowTheTree) {
    const struct {
        const char* selected;
        const char* target;  // whose take "Rec" writes
        const char* next;    // Ctrl+Down
        const char* previous;
    } cases[] = {
        {"", "-", "Group", "-"},  // nothing selected: forward starts at the first phrase
        {"Top", "-", "Group", "-"},
        {"Group", "Group", "Own", "-"},
        {"Own", "Own", "Child of plain", "Group"},
        {"Grandchild", "Own", "Child of plain", "Own"},  // no name: its parent's take
        {"Borrows", "Group", "Child of plain", "Own"},
        {"Plain", "-", "Child of plain", "Own"},  // neither it nor its parent has a name
        {"Child of plain", "Child of plain", "Sneaky", "Own"},
        {"Sneaky", "Sneaky", "-", "Child of plain"},  // "Rec" then explains why it cannot
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Caption(phrases.RecordTarget(R(c.selected))), c.target) << c.selected;
        EXPECT_EQ(Caption(phrases.StepPhrase(R(c.selected), true)), c.next) << c.selected;
        EXPECT_EQ(Caption(phrases.StepPhrase(R(c.selected), false)), c.previous) << c.selected;
    }
    EXPECT_THROW(phrases.TakePath(*R("Sneaky")), Exception);
    EXPECT_EQ(phrases.TakePath(*R("Own")), pf.dir + "recorded/own.wav");
}

TEST_F(Session, TakesOnDiskAndProgressBelowEachNode) {
    pf.Take("grp.wav");
    ProgramFolder::Write(pf.dir + "outside.wav", "RIFF");
    EXPECT_TRUE(takes.Exists(R("Group")));
    EXPECT_FALSE(takes.Exists(R("Own")));
    EXPECT_TRUE(takes.ShownRecorded(R("Own")));         // its parent's take
    EXPECT_FALSE(takes.ShownRecorded(R("Grandchild")));  // a grandparent's does not count
    EXPECT_FALSE(takes.Exists(R("Sneaky")));            // a name leaving recorded/ never counts
    // Nothing checked yet: the scan asks for every usable name, and nothing
    // counts as recorded until its verdict is in.
    EXPECT_EQ(takes.Unchecked(), (std::vector<std::string>{"grp.wav", "own.wav", "cop.wav"}));
    EXPECT_EQ(takes.Progress(), std::make_pair(4, 0));
    takes.Checked({{"grp.wav", {true, tfQuiet}, {}}, {"own.wav", {false, 0}, {}}});
    takes.BeginRecording("cop.wav");  // exists, unflagged
    EXPECT_EQ(takes.Unchecked(), std::vector<std::string>{});
    EXPECT_EQ(takes.Progress(), std::make_pair(4, 2));
    EXPECT_EQ(takes.Progress(R("Top")), std::make_pair(4, 2));
    EXPECT_EQ(takes.Progress(R("Group")), std::make_pair(1, 0));  // below it, not itself
    EXPECT_EQ(takes.Progress(R("Plain")), std::make_pair(1, 1));
    EXPECT_EQ(takes.Marker(R("Group")).toStdString(), "too quiet");
    // A verdict of a take still being recorded is not taken.
    takes.Checked({{"cop.wav", {true, tfClipped}, {}}});
    EXPECT_EQ(takes.CheckOf("cop.wav"), (TTakeCheck{true, 0}));
}

TEST(CommandRules, WhatIsOpenInEachState) {
    struct Row {
        const char* what;
        TCommandInputs in;
        TCommandStates on;  // playSample, playRecord, rec, pause, stop, metering
    };
    const Row rows[] = {
        {"idle on a phrase with sample and take", {true, true, true}, {true, true, true, false, false, false}},
        {"idle on a node without any take name", {true, false, false}, {true, false, false, false, false, false}},
        {"recording", {true, true, true, true}, {false, false, false, true, true, true}},
        {"playing: Rec may start beside it", {true, true, true, false, true}, {true, true, true, true, true, false}},
        {"recording while playing", {true, true, true, true, true}, {false, false, false, true, true, true}},
        {"hands-free listening", {true, true, true, false, false, true}, {true, true, false, false, true, true}},
        {"hands-free take running", {true, true, true, false, false, true, true},
         {false, false, false, false, true, true}},
    };
    for (const Row& r : rows) EXPECT_EQ(CommandStates(r.in), r.on) << r.what;

    for (TTakeFlags again : {tfClipped, tfQuiet, tfShort, tfUnreadable, tfCutShort})
        EXPECT_TRUE(HandsFreeTriesAgain(again | tfNoisy)) << again;
    EXPECT_FALSE(HandsFreeTriesAgain(0));
    EXPECT_FALSE(HandsFreeTriesAgain(tfNoisy));  // noise is said, the mode moves on
}

}  // namespace
}  // namespace orvant::test
