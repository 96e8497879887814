// The upload dialog's flows, offscreen, against the collection server. The
// message boxes are answered by a timer that finds the active modal box.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "platform/widgets/FlatButton.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/uDlgFTPUpload.h"

using namespace orvant;
using namespace orvant::testing;
namespace fs = std::filesystem;

namespace {

QJsonObject Json(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(); }

struct TBox {
    QString title, text;
    QMessageBox::Icon icon;
    QStringList buttons;
};

// Answers every message box that comes up: OK for messages, the chosen
// answer for the abort question. onTick runs on every timer tick outside the
// boxes, so that a test can press a button at the moment it wants; it must
// press with Press, which posts the click (a timer does not fire again while
// its own slot runs, so a box opened inside the tick would never be answered).
void Press(QAbstractButton* b) { QTimer::singleShot(0, b, &QAbstractButton::click); }

class TBoxAnswerer {
public:
    bool answerYes = true;
    std::function<void()> onTick;
    std::vector<TBox> boxes;

    TBoxAnswerer() {
        fTimer.setInterval(2);
        QObject::connect(&fTimer, &QTimer::timeout, [this] { Tick(); });
        fTimer.start();
    }

private:
    void Tick() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (onTick && !fInTick) {
                fInTick = true;
                onTick();
                fInTick = false;
            }
            return;
        }
        if (box->property("answered").toBool()) return;
        box->setProperty("answered", true);
        TBox b{box->windowTitle(), box->text(), box->icon(), {}};
        for (QAbstractButton* btn : box->buttons()) b.buttons << btn->text();
        boxes.push_back(b);
        for (QAbstractButton* btn : box->buttons()) {
            const QString t = btn->text();
            if (t == "&Ja" ? answerYes : t == "&Nein" ? !answerYes : true) {
                QTimer::singleShot(0, btn, &QAbstractButton::click);
                return;
            }
        }
    }
    QTimer fTimer;
    bool fInTick = false;
};

// A program folder with its recorded folder, its own temporary folder and
// the collection server's host in the environment.
struct TFlowFixture {
    TScratchDir program, temp;
    std::string recorded = program / "recorded/";

    explicit TFlowFixture(int takes = 0, size_t takeBytes = 30000) {
        fs::create_directory(recorded);
        ::setenv("TMPDIR", temp.Path().c_str(), 1);
        for (int i = 0; i < takes; ++i)
            WriteFile(recorded + "take" + std::to_string(i) + ".wav", PseudoAudio(takeBytes, uint32_t(i)));
    }
    ~TFlowFixture() { ::unsetenv("TMPDIR"); }

    void UseServer(const TCollectionServer& s) { ::setenv("ORVANT_UPLOAD_HOST", s.Host().c_str(), 1); }

    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> m;
        for (auto& e : fs::recursive_directory_iterator(recorded))
            m[e.path().string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "<dir>";
        return m;
    }

    // Runs one Upload through the modal dialog and checks what every flow
    // must leave behind.
    void Run(TDlgFtpUpload& dlg) {
        auto before = Snapshot();
        before.erase(recorded + "info.txt");
        QTimer::singleShot(0, &dlg, [&dlg] { dlg.BtnUpload->click(); });
        const int result = dlg.exec();
        EXPECT_EQ(result, QDialog::Rejected);
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_FALSE(dlg.Working());
        EXPECT_TRUE(dlg.BtnUpload->isEnabled());
        EXPECT_FALSE(dlg.BtnAbort->isEnabled());
        EXPECT_EQ(dlg.ProgressBar1->value(), 0);
        EXPECT_TRUE(fs::is_empty(temp.Path())) << "archive left in the temporary folder";
        auto after = Snapshot();
        after.erase(recorded + "info.txt");
        EXPECT_EQ(before, after) << "the recorded folder changed";
    }
};

// A flow against a server in the given mode that compares what it receives
// with the recorded folder.
struct TServedFlow : TFlowFixture {
    TCollectionServer server;
    TDlgFtpUpload dlg;
    TBoxAnswerer answers;
    TServedFlow(const char* mode, int takes, size_t takeBytes = 30000)
        : TFlowFixture(takes, takeBytes), server(mode, recorded), dlg(nullptr, program.Path()) {
        UseServer(server);
    }
    void Run() { TFlowFixture::Run(dlg); }
};

QStringList Texts(const std::vector<TBox>& boxes) {
    QStringList l;
    for (auto& b : boxes) l << b.text;
    return l;
}

}  // namespace

TEST(UploadDialog, LayoutAsDesigned) {
    TScratchDir p;
    TDlgFtpUpload dlg(nullptr, p.Path());
    EXPECT_EQ(dlg.windowTitle(), "Corvane Voice Record Upload");
    EXPECT_EQ(dlg.size(), QSize(442, 153));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_EQ(dlg.palette().color(QPalette::Window), QColor(23, 22, 29));
    EXPECT_EQ(dlg.ProgramFolderPath(), p.Path());
    EXPECT_EQ(dlg.Label2->text(), "Speaker name");
    EXPECT_EQ(dlg.Label3->pos(), QPoint(8, 48));
    EXPECT_EQ(dlg.Label4->text(), "State/Region");
    EXPECT_EQ(dlg.Label4->palette().color(QPalette::WindowText), QColor(255, 189, 36));
    EXPECT_EQ(dlg.ESpeakerName->geometry(), QRect(8, 24, 425, 19));
    EXPECT_EQ(dlg.ESpeakerCountry->geometry(), QRect(8, 64, 209, 19));
    EXPECT_EQ(dlg.ESpeakerStateRegion->geometry(), QRect(224, 64, 209, 19));
    for (QLineEdit* e : {dlg.ESpeakerName, dlg.ESpeakerCountry, dlg.ESpeakerStateRegion})
        EXPECT_EQ(e->text(), "Unknown");
    EXPECT_EQ(dlg.BtnUpload->geometry(), QRect(8, 104, 137, 25));
    EXPECT_EQ(dlg.BtnAbort->geometry(), QRect(152, 104, 137, 25));
    EXPECT_EQ(dlg.BtnClose->geometry(), QRect(296, 104, 137, 25));
    EXPECT_EQ(dlg.BtnClose->text(), "Close");
    EXPECT_EQ(dlg.BtnUpload->ColorBorder(), QColor(207, 216, 216));
    EXPECT_EQ(dlg.BtnAbort->FontColor(), QColor(255, 189, 36));
    // The captions stand on the dialog's background.
    EXPECT_EQ(dlg.BtnClose->CaptionPlateColor(), QColor(23, 22, 29));
    EXPECT_TRUE(dlg.BtnUpload->isEnabled());
    EXPECT_FALSE(dlg.BtnAbort->isEnabled());
    EXPECT_EQ(dlg.ProgressBar1->geometry(), QRect(0, 137, 442, 16));
    EXPECT_EQ(dlg.ProgressBar1->value(), 0);
    EXPECT_EQ(dlg.ESpeakerName->nextInFocusChain(), dlg.ESpeakerCountry);
    EXPECT_EQ(dlg.font().family(), "Tahoma");
    // Opened centred on its owner's client area (to the pixel: 811 - 442 is odd).
    QWidget owner;
    owner.setGeometry(100, 50, 811, 496);
    TDlgFtpUpload owned(&owner, p.Path());
    EXPECT_LE((owned.geometry().center() - owner.geometry().center()).manhattanLength(), 1);
}

TEST(UploadDialog, SuccessUploadsEveryTakeAndInfoAndSaysSo) {
    TServedFlow f("ok", 3);
    WriteFile(f.recorded + ".scratch.wav", "not mine");
    fs::create_directory(f.recorded + "old");
    WriteFile(f.recorded + "old/take9.wav", "older take");
    f.dlg.ESpeakerName->setText("Anna");
    f.dlg.ESpeakerStateRegion->setText("");
    std::vector<std::pair<int, int>> bar;  // (value, maximum) on every change
    QObject::connect(f.dlg.ProgressBar1, &QProgressBar::valueChanged,
                     [&](int v) { bar.emplace_back(v, f.dlg.ProgressBar1->maximum()); });
    f.Run();

    ASSERT_EQ(f.answers.boxes.size(), 1u);
    EXPECT_EQ(f.answers.boxes[0].text, "Upload complete!");
    EXPECT_EQ(f.answers.boxes[0].title, "Corvane Voice Record Upload...");
    EXPECT_EQ(f.answers.boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(f.answers.boxes[0].buttons, QStringList{"OK"});
    EXPECT_EQ(ReadFile(f.recorded + "info.txt"), "Speakername=Anna\r\nCountry=Unknown\r\nRegion=\r\n");

    const std::string recText = f.server.WaitRecord(1);
    const QJsonObject rec = Json(recText);
    EXPECT_TRUE(rec["errors"].toArray().isEmpty()) << recText;  // also: no dot-file, no subfolder
    EXPECT_EQ(rec["entries"].toArray().size(), 4);
    EXPECT_EQ(rec["content_length"].toInteger(), rec["archive_size"].toInteger() + 387);
    EXPECT_EQ(f.dlg.ArchiveSize(), rec["archive_size"].toInteger());
    EXPECT_FALSE(f.dlg.Aborted());

    // While sending, the bar climbs to full (the body is longer than the
    // archive); while the reply is read it drops to its few bytes; at the
    // end it is back at 0.
    const int size = f.dlg.ArchiveSize();
    const auto full = std::find(bar.begin(), bar.end(), std::make_pair(size, size));
    ASSERT_NE(full, bar.end());
    ASSERT_GE(bar.end() - full, 3);
    EXPECT_GT(bar.end()[-2].first, 0);
    EXPECT_LE(bar.end()[-2].first, 3);
    EXPECT_EQ(bar.back().first, 0);
}

TEST(UploadDialog, ShowUploadDialogRunsAFreshModalDialogAndDestroysIt) {
    QWidget owner;
    int shown = 0;
    std::function<void()> closeIt = [&] {
        auto* dlg = qobject_cast<TDlgFtpUpload*>(QApplication::activeModalWidget());
        if (!dlg) {
            QTimer::singleShot(10, closeIt);
            return;
        }
        ++shown;
        EXPECT_EQ(dlg->parentWidget(), &owner);
        EXPECT_EQ(dlg->ProgramFolderPath(), ProgramFolder());
        EXPECT_EQ(dlg->ESpeakerName->text(), "Unknown");
        dlg->ESpeakerName->setText("typed");
        Press(dlg->BtnClose);
    };
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, closeIt);
        ShowUploadDialog(&owner);
        EXPECT_TRUE(owner.findChildren<TDlgFtpUpload*>().isEmpty());
    }
    EXPECT_EQ(shown, 2);
}

TEST(UploadDialog, EmptyRecordedFolderStillUploadsInfo) {
    TServedFlow f("ok", 0);
    f.Run();
    EXPECT_EQ(Texts(f.answers.boxes), QStringList{"Upload complete!"});
    EXPECT_EQ(ReadFile(f.recorded + "info.txt"), "Speakername=Unknown\r\nCountry=Unknown\r\nRegion=Unknown\r\n");
    const QJsonArray entries = Json(f.server.WaitRecord(1))["entries"].toArray();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].toObject()["name"].toString(), "info.txt");
    EXPECT_EQ(entries[0].toObject()["size"].toInt(), 54);
}

TEST(UploadDialog, EveryKindOfServerFailureSaysErrorUploadingFile) {
    // requests: how many reached the server; a failure that may pass (5xx,
    // a dropped connection, no server) is tried three times more.
    const struct {
        const char* mode;
        int requests;
    } cases[] = {{"404", 1}, {"500", 4}, {"302", 1}, {"e0lower", 1}, {"E00", 1}, {"drop", 4}, {"unreachable", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        TFlowFixture f(1);
        std::unique_ptr<TCollectionServer> server;
        if (std::string(c.mode) == "unreachable") {
            ::setenv("ORVANT_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(UnusedPort())).c_str(), 1);
        } else {
            server = std::make_unique<TCollectionServer>(c.mode, f.recorded);
            f.UseServer(*server);
        }
        TDlgFtpUpload dlg(nullptr, f.program.Path());
        dlg.RetryDelaysMs = {10, 10, 10};
        TBoxAnswerer answers;
        f.Run(dlg);
        EXPECT_EQ(Texts(answers.boxes), QStringList{"Error uploading file!"});
        if (!answers.boxes.empty()) {
            EXPECT_EQ(answers.boxes[0].title, "Corvane Voice Record Upload...");
        }
        if (server) {
            // The server writes a request's record once it has answered.
            EXPECT_FALSE(server->WaitRecord(c.requests).empty());
            EXPECT_FALSE(server->HasRecord(c.requests + 1));
        }
    }
}

TEST(UploadDialog, AServerBackAfterABusySpellIsUploadedTo) {
    TFlowFixture f(2);
    TCollectionServer server("ok", f.recorded, {"--fail-first", "1"});
    f.UseServer(server);
    TDlgFtpUpload dlg(nullptr, f.program.Path());
    dlg.RetryDelaysMs = {10, 10, 10};
    TBoxAnswerer answers;
    f.Run(dlg);
    EXPECT_EQ(Texts(answers.boxes), QStringList{"Upload complete!"});
    EXPECT_TRUE(Json(server.WaitRecord(2))["errors"].toArray().isEmpty()) << server.WaitRecord(2);
}

TEST(UploadDialog, AbortConfirmedDuringThePauseBeforeATryEndsItSilently) {
    TServedFlow f("500", 1);
    f.dlg.RetryDelaysMs = {600000};
    bool pressed = false;
    f.answers.onTick = [&] {
        if (!pressed && f.server.HasRecord(1)) {
            pressed = true;
            Press(f.dlg.BtnAbort);
        }
    };
    f.Run();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(Texts(f.answers.boxes), QStringList{"Sure you want to abort uploading?"});
    EXPECT_FALSE(f.server.HasRecord(2));
}

TEST(UploadDialog, ReplyWithWhitespaceAroundCountsAsComplete) {
    TServedFlow f("spaces", 1);
    f.Run();
    EXPECT_EQ(Texts(f.answers.boxes), QStringList{"Upload complete!"});
}

TEST(UploadDialog, AbortConfirmedDuringTheTransferCutsItSilently) {
    TServedFlow f("hang", 2);
    bool pressed = false;
    f.answers.onTick = [&] {
        if (!pressed && f.server.Held(1)) {
            pressed = true;
            Press(f.dlg.BtnAbort);
        }
    };
    f.Run();
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(f.dlg.Aborted());
    ASSERT_EQ(f.answers.boxes.size(), 1u);  // the question only, no outcome
    EXPECT_EQ(f.answers.boxes[0].text, "Sure you want to abort uploading?");
    EXPECT_EQ(f.answers.boxes[0].title, "Bestätigen");
    EXPECT_EQ(f.answers.boxes[0].icon, QMessageBox::Question);
    EXPECT_EQ(f.answers.boxes[0].buttons, (QStringList{"&Ja", "&Nein"}));
    EXPECT_TRUE(Json(f.server.WaitRecord(1))["client_disconnected"].toBool());
}

TEST(UploadDialog, AbortAnsweredNoLetsTheTransferFinish) {
    TServedFlow f("hold", 2);
    f.answers.answerYes = false;
    int step = 0;
    f.answers.onTick = [&] {
        if (step == 0 && f.server.Held(1)) {
            step = 1;
            Press(f.dlg.BtnAbort);
        } else if (step == 1 && !f.answers.boxes.empty()) {
            step = 2;  // answered: now let the server reply
            f.server.Release();
        }
    };
    f.Run();
    EXPECT_FALSE(f.dlg.Aborted());
    EXPECT_EQ(Texts(f.answers.boxes), (QStringList{"Sure you want to abort uploading?", "Upload complete!"}));
    EXPECT_TRUE(Json(f.server.WaitRecord(1))["errors"].toArray().isEmpty());
}

TEST(UploadDialog, AbortConfirmedDuringTheBuildSendsNothingAndSaysNothing) {
    TServedFlow f("ok", 80, 20000);
    int maxWhenPressed = -1;
    bool pressed = false;
    QObject::connect(f.dlg.BtnAbort, &QAbstractButton::pressed, [&] { maxWhenPressed = f.dlg.ProgressBar1->maximum(); });
    f.answers.onTick = [&] {
        if (!pressed && f.dlg.Working()) {
            pressed = true;
            Press(f.dlg.BtnAbort);
        }
    };
    f.Run();  // also: the archive is gone
    EXPECT_EQ(maxWhenPressed, 81) << "Abort was not pressed during the build";
    EXPECT_TRUE(f.dlg.Aborted());
    EXPECT_EQ(Texts(f.answers.boxes), QStringList{"Sure you want to abort uploading?"});
    // The dialog sends on this thread and waits for the answer: a request of
    // the aborted flow would have been numbered by the server before Run
    // returned. So the next upload, which must be sent, has to be the first.
    f.dlg.ESpeakerName->setText("After the abort");
    f.Run();
    EXPECT_EQ(Texts(f.answers.boxes), (QStringList{"Sure you want to abort uploading?", "Upload complete!"}));
    EXPECT_TRUE(Json(f.server.WaitRecord(1))["errors"].toArray().isEmpty());
    EXPECT_EQ(ReadFile(f.server.SaveDir() + "/1/info.txt").rfind("Speakername=After the abort\r\n", 0), 0u)
        << "the aborted flow's archive was sent";
}

TEST(UploadDialog, CloseDuringTheFlowWaitsForItsEnd) {
    TServedFlow f("hold", 1);
    bool visibleAfterClose = false;
    int step = 0;
    f.answers.onTick = [&] {
        if (step == 0 && f.server.Held(1)) {
            step = 1;
            Press(f.dlg.BtnClose);
        } else if (step == 1 && !f.dlg.BtnClose->isDown()) {
            step = 2;
            visibleAfterClose = f.dlg.isVisible() && f.dlg.Working();
            f.server.Release();
        }
    };
    f.Run();
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_EQ(Texts(f.answers.boxes), QStringList{"Upload complete!"});
}

TEST(UploadDialog, TakeStillOpenForWritingStopsTheBuildWithTheOpenError) {
    TServedFlow f("ok", 2);
    TFileStream recording(f.recorded + "take1.wav", fmOpenWrite | fmShareDenyWrite);
    f.Run();
    ASSERT_EQ(f.answers.boxes.size(), 1u);
    EXPECT_TRUE(f.answers.boxes[0].text.startsWith("Error uploading voice archive: Datei " +
                                                 QString::fromStdString(f.recorded) + "take1.wav kann nicht geöffnet werden. "))
        << f.answers.boxes[0].text.toStdString();
    EXPECT_EQ(f.answers.boxes[0].title, QCoreApplication::applicationName());
    EXPECT_FALSE(f.server.HasRecord(1));
    EXPECT_FALSE(fs::exists("tmp"));
}

TEST(UploadDialog, MissingRecordedFolderAndTempFolderAreReported) {
    {
        TFlowFixture f;
        fs::remove(f.recorded);
        TDlgFtpUpload dlg(nullptr, f.program.Path());
        TBoxAnswerer answers;
        QTimer::singleShot(0, &dlg, [&dlg] { dlg.BtnUpload->click(); });
        dlg.exec();
        ASSERT_EQ(answers.boxes.size(), 1u);
        EXPECT_EQ(answers.boxes[0].text, "Error uploading voice archive: Datei \"" +
                                             QString::fromStdString(f.recorded) +
                                             "info.txt\" kann nicht erstellt werden. No such file or directory");
        EXPECT_FALSE(fs::exists(f.recorded));
    }
    {
        TFlowFixture f;
        ::setenv("TMPDIR", "/", 1);
        TDlgFtpUpload dlg(nullptr, f.program.Path());
        TBoxAnswerer answers;
        QTimer::singleShot(0, &dlg, [&dlg] { dlg.BtnUpload->click(); });
        dlg.exec();
        EXPECT_EQ(Texts(answers.boxes), QStringList{"Error uploading voice archive: Unable to locate temp folder."});
        EXPECT_TRUE(fs::exists(f.recorded + "info.txt"));
    }
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
