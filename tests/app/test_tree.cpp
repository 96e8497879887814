// What the tree shows and which buttons a selection enables, read from the
// folders as they are at each paint and update.
#include "tests/app/AppTest.h"

#include <filesystem>

#include "platform/widgets/FlatButton.h"

namespace orvant::test {
namespace {

class Tree : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        pf.Catalogue(kNestedTakesCatalogue);
    }
    void Open() {
        w = std::make_unique<TDlgSndRecMain>(pf.Exe());
        w->show();
        QApplication::processEvents();
        w->tv->expandAll();
        QApplication::processEvents();
    }
    QTreeWidgetItem* Node(const char* caption) {
        const auto found = w->tv->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
        EXPECT_EQ(found.size(), 1) << caption;
        return found.value(0);
    }
    bool Green(const char* caption) { return GreenPixels(w->tv, Node(caption)) > 0; }
    void Select(const char* caption) {
        w->tv->setCurrentItem(Node(caption));
        QApplication::processEvents();
    }

    ProgramFolder pf;
    ErrorBoxCapture errors;
    std::unique_ptr<TDlgSndRecMain> w;
};

TEST_F(Tree, OwnTakeOrDirectParentsTakeMakesGreen) {
    pf.Take("grp.wav");
    Open();
    ASSERT_TRUE(errors.messages.empty());
    EXPECT_FALSE(Green("Top"));       // no "wav": never green
    EXPECT_TRUE(Green("Group"));      // own take
    EXPECT_TRUE(Green("Own"));        // own take missing, parent's exists
    EXPECT_TRUE(Green("Borrows"));    // no own name, parent's take
    EXPECT_FALSE(Green("Grandchild"));  // a grandparent's take does not count
    EXPECT_FALSE(Green("Plain"));
    EXPECT_FALSE(Green("Child of plain"));
    // A child's take does not colour its parent.
    pf.Take("cop.wav");
    w->tv->viewport()->repaint();
    EXPECT_TRUE(Green("Child of plain"));
    EXPECT_FALSE(Green("Plain"));
    // The selected node is drawn green too.
    Select("Group");
    EXPECT_TRUE(Green("Group"));
}

TEST_F(Tree, NothingIsGreenWithoutASelection) {
    pf.Take("grp.wav");
    Open();
    w->tv->clearSelection();
    QApplication::processEvents();
    ASSERT_EQ(w->SelectedNode(), nullptr);
    w->tv->viewport()->repaint();
    EXPECT_FALSE(Green("Group"));
    EXPECT_FALSE(Green("Borrows"));
    Select("Plain");
    EXPECT_TRUE(Green("Group"));
}

TEST_F(Tree, FoldersAreReadAtEveryPaint) {
    pf.Take("grp.wav");
    pf.Sample("Own.wav");
    Open();
    EXPECT_TRUE(Green("Borrows"));
    std::filesystem::remove(pf.dir + "recorded/grp.wav");
    w->tv->viewport()->repaint();
    EXPECT_FALSE(Green("Borrows"));
    EXPECT_FALSE(Green("Group"));
    // Samples never colour the tree.
    EXPECT_FALSE(Green("Own"));
    // A folder named like a take is no take.
    std::filesystem::create_directory(pf.dir + "recorded/own.wav");
    w->tv->viewport()->repaint();
    EXPECT_FALSE(Green("Own"));
}

// Which commands a node opens is the session's rule (test_session); the
// window asks it whenever the selection changes, with the folders as they
// are then.
TEST_F(Tree, ButtonsFollowTheSelectedNode) {
    pf.Take("grp.wav");
    Open();
    Select("Borrows");  // no own name, parent's take exists
    EXPECT_EQ(EnabledButtons(*w), "Exit Rec CompressAndUpload");
    Select("Group");
    EXPECT_EQ(EnabledButtons(*w), "Exit Rec PlayRecord CompressAndUpload");

    // A sample added on disk shows at the next update, not before.
    pf.Sample("Plain.wav");
    Select("Plain");
    EXPECT_EQ(EnabledButtons(*w), "Exit PlaySample CompressAndUpload");
    std::filesystem::remove(pf.dir + "samples/Plain.wav");
    EXPECT_TRUE(w->btnPlaySample->isEnabled());
    Select("Top");
    Select("Plain");
    EXPECT_FALSE(w->btnPlaySample->isEnabled());
}

TEST_F(Tree, TakeNameThatWouldLeaveRecordedNeverCounts) {
    pf.Catalogue(R"(<r caption="Top"><p caption="Sneaky" wav="../outside"/></r>)");
    ProgramFolder::Write(pf.dir + "outside.wav", "RIFF");
    Open();
    EXPECT_FALSE(Green("Sneaky"));
    Select("Sneaky");
    EXPECT_FALSE(w->btnPlayRecord->isEnabled());
    // "Rec" stays available so that pressing it explains the problem.
    EXPECT_TRUE(w->btnRec->isEnabled());
}

}  // namespace
}  // namespace orvant::test
