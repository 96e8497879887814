// Loading the catalogue into the tree: the phrase records' file names, the
// shape of the tree, and every way a load can fail.
#include "tests/app/AppTest.h"

#include <QPushButton>

#include "platform/SysUtils.h"
#include "platform/widgets/FlatButton.h"

namespace orvant::test {
namespace {

TEST(FileNameRule, CaptionLosesOnlySpacesAndFourMarks) {
    EXPECT_EQ(SampleNameFromCaption("Hello, world. Ready?"), "HelloworldReady.wav");
    EXPECT_EQ(SampleNameFromCaption("Wait... What? No!"), "WaitWhatNo.wav");
    EXPECT_EQ(SampleNameFromCaption("Don't - stop now"), "Don't-stopnow.wav");
    EXPECT_EQ(SampleNameFromCaption(" .,!? "), ".wav");
    EXPECT_EQ(SampleNameFromCaption("Tab\there: ÄÖü 12"), "Tab\there:ÄÖü12.wav");
    EXPECT_EQ(SampleNameFromCaption(""), ".wav");
}

TEST(FileNameRule, PlainFileNames) {
    EXPECT_TRUE(IsPlainFileName("p017"));
    EXPECT_TRUE(IsPlainFileName(""));
    EXPECT_TRUE(IsPlainFileName("..x"));
    EXPECT_FALSE(IsPlainFileName("."));
    EXPECT_FALSE(IsPlainFileName(".."));
    EXPECT_FALSE(IsPlainFileName("../x"));
    EXPECT_FALSE(IsPlainFileName("a/b"));
    EXPECT_FALSE(IsPlainFileName("a\\b"));
    EXPECT_FALSE(IsPlainFileName("/etc/passwd"));
}

TEST(FileNameRule, CatalogueBesideTheExecutable) {
    EXPECT_EQ(CataloguePathFor("/opt/x/orvant"), "/opt/x/orvant.xml");
    EXPECT_EQ(CataloguePathFor("/opt/x/orvant.bin"), "/opt/x/orvant.xml");
    EXPECT_EQ(CataloguePathFor("/opt/x.y/orvant"), "/opt/x.y/orvant.xml");
}

// One record built from an element written as XML text.
struct Record {
    std::string samplefile, recfile;
    bool usable;
};
Record MakeRecord(const ProgramFolder& pf, const std::string& element) {
    const auto phrases = ReadCatalogueText(QByteArray::fromStdString(element), "t.xml");
    EXPECT_EQ(phrases.size(), 1u);
    const TWavInfo r(phrases.at(0), 0, pf.dir);
    return {r.samplefile, r.recfile, r.recfileUsable};
}

TEST(FileNameRule, TakeNameAndSampleFallback) {
    App();
    ProgramFolder pf;
    // Without the caption's sample the take's name stands in for it.
    Record r = MakeRecord(pf, R"(<p caption="Hello, world. Ready?" wav="p017"/>)");
    EXPECT_EQ(r.samplefile, "p017.wav");
    EXPECT_EQ(r.recfile, "p017.wav");
    // With it, the caption's name wins, also when both exist.
    pf.Sample("HelloworldReady.wav");
    pf.Sample("p017.wav");
    r = MakeRecord(pf, R"(<p caption="Hello, world. Ready?" wav="p017"/>)");
    EXPECT_EQ(r.samplefile, "HelloworldReady.wav");
    // No "wav": no take and no fallback.
    r = MakeRecord(pf, R"(<p caption="Wait... What? No!"/>)");
    EXPECT_EQ(r.samplefile, "WaitWhatNo.wav");
    EXPECT_EQ(r.recfile, "");
    // An empty "wav" is still a take name.
    r = MakeRecord(pf, R"(<p caption="x" wav=""/>)");
    EXPECT_EQ(r.recfile, ".wav");
    EXPECT_EQ(r.samplefile, ".wav");
    EXPECT_TRUE(r.usable);
    // A folder named like the caption's sample is no sample.
    std::filesystem::create_directory(pf.dir + "samples/Folder.wav");
    r = MakeRecord(pf, R"(<p caption="Folder" wav="f1"/>)");
    EXPECT_EQ(r.samplefile, "f1.wav");
}

TEST(FileNameRule, TakeNamesThatWouldLeaveTheirFolderAreNotUsed) {
    App();
    ProgramFolder pf;
    for (const char* wav : {"../escape", "sub/x", ".", "..", "a\\b", "/tmp/abs"}) {
        const Record r = MakeRecord(pf, std::string("<p caption=\"Odd\" wav=\"") + wav + "\"/>");
        EXPECT_FALSE(r.usable) << wav;
        EXPECT_EQ(r.recfile, std::string(wav) + ".wav");
        // Nor does such a name stand in for the sample.
        EXPECT_EQ(r.samplefile, "Odd.wav") << wav;
    }
    // Dots go from caption names, so a caption cannot climb out of samples/.
    EXPECT_EQ(MakeRecord(pf, R"(<p caption="../../etc/passwd"/>)").samplefile, "//etc/passwd.wav");
}

TEST(FileNameRule, OnlyElementsWithCaptionMakeRecords) {
    // The window stops at the first node it cannot load and keeps what came
    // before; the kit's checker reads on (an element without a caption still
    // gives its children) and hears of every such node, with its line.
    const QByteArray xml = "<a caption=\"A\">\n<!--c-->\n<b wav=\"x\"><d caption=\"D\"/></b>\n<c caption=\"C\"/></a>";
    const TCatalogue first = ParseCatalogue(xml, "t.xml", TCatalogueReading::StopAtFirstProblem);
    ASSERT_EQ(first.phrases.size(), 1u);
    ASSERT_EQ(first.problems.size(), 1u);
    EXPECT_EQ(first.problems[0].line, 2);
    const TCatalogue all = ParseCatalogue(xml, "t.xml", TCatalogueReading::ListEveryProblem);
    std::vector<std::tuple<std::string, int, bool>> got;  // caption, parent, leaf
    for (const TCataloguePhrase& p : all.phrases) got.emplace_back(p.caption, p.parent, p.leaf);
    EXPECT_EQ(got, (std::vector<std::tuple<std::string, int, bool>>{{"A", -1, false}, {"D", 0, true}, {"C", 0, true}}));
    ASSERT_EQ(all.problems.size(), 2u);
    EXPECT_EQ(all.problems[1].line, 3);
    EXPECT_NE(all.problems[1].text.find("<b> has no attribute \"caption\""), std::string::npos) << all.problems[1].text;
    EXPECT_THROW(ReadCatalogueText(xml, "t.xml"), Exception);
}

class Catalogue : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    std::unique_ptr<TDlgSndRecMain> Open() { return std::make_unique<TDlgSndRecMain>(pf.Exe()); }
    static std::vector<QPushButton*> Buttons(TDlgSndRecMain& w) {
        return {w.btnExit, w.btnPlaySample, w.btnRec, w.btnStop, w.btnPause, w.btnPlayRecord, w.btnCompressAndUpload};
    }
    static constexpr const char* kAllButtons = "Exit PlaySample Rec Stop Pause PlayRecord CompressAndUpload";
    ProgramFolder pf;
    ErrorBoxCapture errors;
};

TEST_F(Catalogue, IntactCatalogueOpensExpandedOneLevelWithTopSelected) {
    pf.Catalogue(R"(<?xml version="1.0"?>
<root caption="Top">
  <g caption="Greetings" wav="g">
    <p caption="Hello, world." wav="p1"><q caption="Deeper"/></p>
    <p caption="Bye" wav="p2"/>
  </g>
  <g caption="Listen only"><p caption="Just listen"/></g>
</root>)");
    pf.Sample("Top.wav");
    auto w = Open();
    EXPECT_TRUE(errors.messages.empty());
    EXPECT_EQ(w->ProgramFolderPath(), pf.dir);
    EXPECT_EQ(Captions(w->tv), (std::vector<std::string>{"Top", " Greetings", "  Hello, world.", "   Deeper",
                                                          "  Bye", " Listen only", "  Just listen"}));
    QTreeWidgetItem* top = w->tv->topLevelItem(0);
    EXPECT_TRUE(top->isExpanded());
    EXPECT_FALSE(top->child(0)->isExpanded());
    EXPECT_FALSE(top->child(0)->child(0)->isExpanded());
    EXPECT_EQ(w->SelectedNode(), top);
    // Buttons already reflect the top node: its sample exists, it has no take.
    EXPECT_EQ(EnabledButtons(*w), "Exit PlaySample CompressAndUpload");
    // Records follow the nodes.
    EXPECT_EQ(WavInfoOf(top->child(0)->child(0))->recfile, "p1.wav");
    EXPECT_EQ(WavInfoOf(top->child(0)->child(0)->child(0))->recfile, "");
}

TEST_F(Catalogue, DocumentElementAloneGivesOneNode) {
    pf.Catalogue("<only caption=\"Alone\" wav=\"a\"/>");
    auto w = Open();
    EXPECT_TRUE(errors.messages.empty());
    EXPECT_EQ(Captions(w->tv), std::vector<std::string>{"Alone"});
    EXPECT_TRUE(w->btnRec->isEnabled());
}

TEST_F(Catalogue, MissingCatalogueShowsErrorThenEmptyWindow) {
    auto w = Open();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.captions[0], ApplicationTitle().toStdString());
    EXPECT_NE(errors.messages[0].find(pf.dir + "orvant.xml"), std::string::npos) << errors.messages[0];
    EXPECT_EQ(w->tv->topLevelItemCount(), 0);
    EXPECT_EQ(EnabledButtons(*w), kAllButtons);
    EXPECT_EQ(w->SelectedNode(), nullptr);
    // Commands without a selection do nothing harmful.
    for (QPushButton* b : Buttons(*w))
        if (b != w->btnExit && b != w->btnCompressAndUpload) b->click();
    EXPECT_EQ(errors.messages.size(), 1u);
    EXPECT_TRUE(std::filesystem::is_empty(pf.dir + "recorded"));
}

TEST_F(Catalogue, CatalogueThatIsAFolderFails) {
    std::filesystem::create_directory(pf.dir + "orvant.xml");
    auto w = Open();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(w->tv->topLevelItemCount(), 0);
}

TEST_F(Catalogue, MalformedCatalogueLeavesTreeEmpty) {
    pf.Catalogue("<root caption=\"Top\"><a caption=\"x\"></root>");
    auto w = Open();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("line 1"), std::string::npos) << errors.messages[0];
    EXPECT_EQ(w->tv->topLevelItemCount(), 0);
    EXPECT_EQ(EnabledButtons(*w), kAllButtons);
}

// Each catalogue fails at the fourth node; the three before it stay, the top
// node is not expanded, and the top node is selected all the same.
struct PartialCase {
    const char* what;
    const char* xml;
};
class PartialLoad : public Catalogue, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(PartialLoad, ErrorBoxThenTheNodesAddedSoFar) {
    pf.Catalogue(GetParam().xml);
    auto w = Open();
    ASSERT_EQ(errors.messages.size(), 1u) << GetParam().what;
    EXPECT_NE(errors.messages[0].find("line"), std::string::npos) << errors.messages[0];
    EXPECT_EQ(Captions(w->tv), (std::vector<std::string>{"Top", " A", "  A1"})) << GetParam().what;
    EXPECT_FALSE(w->tv->topLevelItem(0)->isExpanded());
    EXPECT_EQ(WavInfoOf(w->tv->topLevelItem(0)->child(0)->child(0))->recfile, "a1.wav");
    EXPECT_EQ(w->SelectedNode(), w->tv->topLevelItem(0));
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, PartialLoad,
    ::testing::Values(
        PartialCase{"comment", "<r caption=\"Top\">\n<a caption=\"A\"><b caption=\"A1\" wav=\"a1\"/></a>\n"
                               "<!-- a remark -->\n<c caption=\"C\"/></r>"},
        PartialCase{"text", "<r caption=\"Top\">\n<a caption=\"A\"><b caption=\"A1\" wav=\"a1\"/></a>\n"
                            "stray words\n<c caption=\"C\"/></r>"},
        PartialCase{"processing instruction",
                    "<r caption=\"Top\">\n<a caption=\"A\"><b caption=\"A1\" wav=\"a1\"/></a>\n"
                    "<?tool do-something?>\n<c caption=\"C\"/></r>"},
        PartialCase{"CDATA", "<r caption=\"Top\">\n<a caption=\"A\"><b caption=\"A1\" wav=\"a1\"/></a>\n"
                             "<![CDATA[x]]>\n<c caption=\"C\"/></r>"},
        PartialCase{"no caption", "<r caption=\"Top\">\n<a caption=\"A\"><b caption=\"A1\" wav=\"a1\"/></a>\n"
                                  "<c wav=\"c\"/>\n<d caption=\"D\"/></r>"}),
    [](const ::testing::TestParamInfo<PartialCase>& i) {
        std::string n = i.param.what;
        for (char& c : n)
            if (c == ' ') c = '_';
        return n;
    });

TEST_F(Catalogue, TopElementWithoutCaptionAddsNothing) {
    pf.Catalogue("<r><a caption=\"A\"/></r>");
    auto w = Open();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(w->tv->topLevelItemCount(), 0);
}

TEST_F(Catalogue, WhitespaceBetweenElementsAndEmptyCaptionsAreFine) {
    pf.Catalogue("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- before the document element -->\n"
                 "<r caption=\"\">\n\t <a caption=\"  spaced  \" other=\"ignored\"/>\r\n</r>\n");
    auto w = Open();
    EXPECT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_EQ(Captions(w->tv), (std::vector<std::string>{"", "   spaced  "}));
    EXPECT_EQ(WavInfoOf(w->tv->topLevelItem(0)->child(0))->samplefile, "spaced.wav");
}

TEST_F(Catalogue, WindowLooksAsLaidOut) {
    pf.Catalogue("<r caption=\"Top\"/>");
    auto w = Open();
    EXPECT_EQ(w->windowTitle(), "Orvant Sound Recording Tool");
    EXPECT_EQ(w->size(), QSize(811, 496));
    w->show();
    QApplication::processEvents();
    EXPECT_EQ(w->Panel2->geometry(), QRect(0, 0, 137, 496));
    EXPECT_EQ(w->tv->geometry(), QRect(137, 0, 674, 496));
    const std::vector<std::pair<QPushButton*, const char*>> order = {
        {w->btnExit, "Exit"}, {w->btnPlaySample, "How it should sound like"}, {w->btnRec, "Rec"},
        {w->btnStop, "Stop"}, {w->btnPause, "Pause"}, {w->btnPlayRecord, "Play Record"},
        {w->btnCompressAndUpload, "Compress and Upload"}};
    QWidget* prev = w->tv;
    for (size_t i = 0; i < order.size(); ++i) {
        QPushButton* b = order[i].first;
        EXPECT_EQ(b->text(), order[i].second);
        EXPECT_EQ(b->geometry(), QRect(1, 1 + 70 * static_cast<int>(i), 135, 70)) << order[i].second;
        QWidget* next = prev->nextInFocusChain();
        while (next != w.get() && !(next->isVisible() && (next->focusPolicy() & Qt::TabFocus)))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, b) << order[i].second;
        prev = b;
    }
    EXPECT_EQ(w->btnRec->FontColor(), QColor(255, 0, 0));
    EXPECT_EQ(w->btnStop->ColorFocused(), QColor(0, 84, 168));
    EXPECT_EQ(w->tv->indentation(), 19);
    EXPECT_EQ(w->font().pointSize(), 8);
    if (std::filesystem::exists("/usr/share/wine/fonts/tahoma.ttf")) {
        EXPECT_EQ(w->font().family(), "Tahoma");
        EXPECT_EQ(w->btnRec->font().family(), "Tahoma");
    }
    EXPECT_EQ(w->tv->editTriggers(), QAbstractItemView::NoEditTriggers);
    // The window grows the tree, not the column.
    w->resize(1000, 600);
    QApplication::processEvents();
    EXPECT_EQ(w->tv->geometry(), QRect(137, 0, 863, 600));
}

}  // namespace
}  // namespace orvant::test
