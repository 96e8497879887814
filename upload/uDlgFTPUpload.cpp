#include "upload/uDlgFTPUpload.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <algorithm>
#include <cstdio>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "platform/widgets/FlatButton.h"
#include "upload/UFileUtils.h"

namespace orvant {

namespace {

const QColor kBackground(23, 22, 29);
const QColor kCaption(255, 189, 36);
const QColor kButtonBorder(207, 216, 216);
const char* const kCaptionText = "Corvane Voice Record Upload";

// The toolkit's message box: the application's title as caption, one OK.
void ShowMessage(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace

TDlgFtpUpload::TDlgFtpUpload(QWidget* owner) : TDlgFtpUpload(owner, ProgramFolder()) {}

TDlgFtpUpload::TDlgFtpUpload(QWidget* owner, const std::string& programFolder) : QDialog(owner) {
    setWindowTitle(kCaptionText);
    setFixedSize(442, 153);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    setFont(QFont("Tahoma", 8));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    auto label = [this](const char* text, int x, int y) {
        auto* l = new QLabel(text, this);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, kCaption);
        l->setPalette(p);
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    Label2 = label("Speaker name", 8, 8);
    Label3 = label("Country", 8, 48);
    Label4 = label("State/Region", 224, 48);

    auto edit = [this](int x, int y, int w) {
        auto* e = new QLineEdit("Unknown", this);
        e->setGeometry(x, y, w, 19);
        // Flat: a plain one-pixel frame instead of the sunken 3-D one.
        e->setStyleSheet("QLineEdit { background: white; color: black; border: 1px solid rgb(127,127,127);"
                         " padding: 0px 1px; }");
        return e;
    };
    ESpeakerName = edit(8, 24, 425);
    ESpeakerCountry = edit(8, 64, 209);
    ESpeakerStateRegion = edit(224, 64, 209);

    auto button = [this](const char* text, int x) {
        auto* b = new TFlatButton(text, this);
        b->setGeometry(x, 104, 137, 25);
        // The faces take the dialog's background, as the main window's
        // buttons take the window's, so that the captions read.
        b->SetColor(kBackground);
        b->SetColorDown(kBackground);
        b->SetColorShadow(kBackground);
        b->SetColorFocused(QColor(0, 84, 168));
        b->SetColorHighLight(QColor(88, 84, 112));
        b->SetColorBorder(kButtonBorder);
        b->SetFontColor(kCaption);
        return b;
    };
    BtnUpload = button("Upload", 8);
    BtnAbort = button("Abort", 152);
    BtnAbort->setEnabled(false);
    BtnClose = button("Close", 296);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(0, 153 - 16, 442, 16);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);

    setTabOrder(ESpeakerName, ESpeakerCountry);
    setTabOrder(ESpeakerCountry, ESpeakerStateRegion);
    setTabOrder(ESpeakerStateRegion, BtnUpload);
    setTabOrder(BtnUpload, BtnAbort);
    setTabOrder(BtnAbort, BtnClose);
    setTabOrder(BtnClose, ProgressBar1);

    connect(BtnUpload, &QPushButton::clicked, this, [this] { BtnUploadClick(); });
    connect(BtnAbort, &QPushButton::clicked, this, [this] { BtnAbortClick(); });
    connect(BtnClose, &QPushButton::clicked, this, [this] { BtnCloseClick(); });

    IdHTTP1 = std::make_unique<THttpClient>();
    IdHTTP1->OnWork = [this](THttpClient& sender, TWorkMode mode, int64_t count) {
        IdHTTP1Work(sender, mode, count);
    };

    FormCreate(programFolder);

    // Centred on the owner's client area; placed here, the toolkit leaves
    // the position as it is when the dialog is shown.
    if (owner) {
        const QRect o = owner->window()->geometry();
        setGeometry(QRect(o.topLeft() + QPoint((o.width() - width()) / 2, (o.height() - height()) / 2), size()));
    }
}

TDlgFtpUpload::~TDlgFtpUpload() = default;

void TDlgFtpUpload::FormCreate(const std::string& programFolder) {
    fPath = programFolder;
    if (fPath.empty() || fPath.back() != '/') fPath += '/';
    fAborted = false;
}

void TDlgFtpUpload::BtnUploadClick() {
    if (fWorking) return;
    fAborted = false;
    fWorking = true;
    BtnAbort->setEnabled(true);
    BtnUpload->setEnabled(false);

    std::string archive;
    std::vector<std::string> list;
    try {
        const std::string info = "Speakername=" + ESpeakerName->text().toStdString() + "\r\n" +
                                 "Country=" + ESpeakerCountry->text().toStdString() + "\r\n" +
                                 "Region=" + ESpeakerStateRegion->text().toStdString() + "\r\n";
        const std::string bytes = ToLocaleCharset(info);
        {
            TFileStream f(RecordedFolder(fPath) + "info.txt", fmCreate);
            f.WriteBuffer(bytes.data(), int32_t(bytes.size()));
        }

        list.clear();
        ListFolderFiles(list, RecordedFolder(fPath), "*.*", false);
        if (list.empty()) {
            ShowMessage(this, "No files found in folder \"recorded\"!");
        } else {
            // Abort confirmed during the build: the build stops and nothing is sent.
            if (BuildVoiceArchive(list, archive) && !fAborted) {
                const bool uploaded = UploadVoiceArchive(archive);
                if (!fAborted) {
                    QMessageBox box(QMessageBox::NoIcon, QString(kCaptionText) + "...",
                                    uploaded ? "Upload complete!" : "Error uploading file!", QMessageBox::Ok, this);
                    box.exec();
                }
            }
        }
    } catch (const std::exception& e) {
        ShowMessage(this, "Error uploading voice archive: " + QString::fromStdString(e.what()));
    }

    list.clear();
    BtnAbort->setEnabled(false);
    BtnUpload->setEnabled(true);
    ProgressBar1->setValue(0);
    if (!archive.empty() && FileExists(archive)) std::remove(archive.c_str());
    fWorking = false;
    QDialog::reject();
}

void TDlgFtpUpload::BtnAbortClick() {
    QMessageBox box(QMessageBox::Question, "Bestätigen", "Sure you want to abort uploading?", QMessageBox::NoButton,
                    this);
    QAbstractButton* yes = box.addButton("&Ja", QMessageBox::YesRole);
    QAbstractButton* no = box.addButton("&Nein", QMessageBox::NoRole);
    box.setDefaultButton(static_cast<QPushButton*>(yes));
    box.setEscapeButton(no);
    box.exec();
    if (box.clickedButton() != yes) return;
    fAborted = true;
    if (IdHTTP1->Connected()) IdHTTP1->Disconnect();
}

void TDlgFtpUpload::BtnCloseClick() { reject(); }

void TDlgFtpUpload::reject() {
    if (fWorking) return;  // the flow closes the dialog when it ends
    QDialog::reject();
}

bool TDlgFtpUpload::BuildVoiceArchive(const std::vector<std::string>& files, std::string& archive) {
    bool complete;
    {
        const std::unique_ptr<TFileStream> file = CreateVoiceArchiveFile(GetTempFolder(), archive);
        complete = WriteVoiceArchive(files, *file, this);
    }
    return complete && FileExists(archive);
}

bool TDlgFtpUpload::UploadVoiceArchive(const std::string& archive) {
    fArchiveSize = GetFileSizeOf(archive);
    ProgressBar1->setValue(0);
    ProgressBar1->setRange(0, std::max(fArchiveSize, 0));
    // A failure that may pass (the server restarting, a network dropping)
    // is tried again, the same archive, after a pause in which the dialog
    // stays responsive; Abort ends the pause at once.
    const auto pause = [this](int, int delayMs) {
        ProgressBar1->setValue(0);
        QElapsedTimer waited;
        waited.start();
        while (!fAborted && waited.elapsed() < delayMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            int(std::clamp<qint64>(delayMs - waited.elapsed(), 1, 50)));
        return !fAborted;
    };
    const TUploadResult r = UploadArchiveWithRetries(*IdHTTP1, CollectionServerUrl(), archive, pause, RetryDelaysMs);
    if (r.outcome == TUploadOutcome::uoFailed) QApplication::beep();
    return r.outcome == TUploadOutcome::uoAccepted;
}

void TDlgFtpUpload::IdHTTP1Work(THttpClient&, TWorkMode, int64_t workCount) {
    SetProgressPosition(int32_t(uint32_t(uint64_t(workCount) & 0xFFFFFFFFu)));
    QCoreApplication::processEvents();
}

void TDlgFtpUpload::SetProgressMax(int32_t max) { ProgressBar1->setRange(0, std::max(max, 0)); }

void TDlgFtpUpload::SetProgressPosition(int32_t position) {
    // The bar keeps to its range: a count beyond the maximum shows it full.
    ProgressBar1->setValue(std::clamp(position, ProgressBar1->minimum(), ProgressBar1->maximum()));
}

void TDlgFtpUpload::RepaintProgress() { ProgressBar1->repaint(); }

void TDlgFtpUpload::ProcessMessages() { QCoreApplication::processEvents(); }

bool TDlgFtpUpload::Cancelled() { return fAborted; }

void ShowUploadDialog(QWidget* owner) {
    std::unique_ptr<TDlgFtpUpload> dlg = std::make_unique<TDlgFtpUpload>(owner);
    dlg->exec();
}

}  // namespace orvant
