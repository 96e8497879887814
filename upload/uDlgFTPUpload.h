// TDlgFtpUpload: the modal dialog with which the speaker hands in the takes.
// It asks for the speaker's name, country and state or region, writes them to
// "info.txt" in the recorded folder, packs every file of that folder into one
// voice archive in the temporary folder, posts the archive to the collection
// server, tells the outcome, deletes the archive and closes.
#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "upload/HttpUpload.h"
#include "upload/VoiceArchive.h"

class QLabel;
class QLineEdit;
class QProgressBar;

namespace orvant {

class TFlatButton;

class TDlgFtpUpload : public QDialog, private TArchiveProgress {
    Q_OBJECT
public:
    // The dialog of the program: works on the folder of the executable.
    explicit TDlgFtpUpload(QWidget* owner);
    // Works on programFolder (with or without a trailing '/') instead; the
    // recorded folder is RecordedFolder(programFolder). For tests.
    TDlgFtpUpload(QWidget* owner, const std::string& programFolder);
    ~TDlgFtpUpload() override;

    // Components, named as on the form.
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* ESpeakerName = nullptr;
    QLineEdit* ESpeakerCountry = nullptr;
    QLineEdit* ESpeakerStateRegion = nullptr;
    TFlatButton* BtnUpload = nullptr;
    TFlatButton* BtnAbort = nullptr;
    TFlatButton* BtnClose = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    std::unique_ptr<THttpClient> IdHTTP1;
    // The pauses before the upload is tried again after a failure that may
    // pass (kUploadRetryDelaysMs; tests shorten them).
    std::vector<int> RetryDelaysMs{std::begin(kUploadRetryDelaysMs), std::end(kUploadRetryDelaysMs)};

    // Handlers (public so that tests can drive them like clicks).
    void BtnUploadClick();
    void BtnAbortClick();
    void BtnCloseClick();
    void IdHTTP1Work(THttpClient& sender, TWorkMode workMode, int64_t workCount);

    const std::string& ProgramFolderPath() const { return fPath; }
    bool Aborted() const { return fAborted; }
    int32_t ArchiveSize() const { return fArchiveSize; }
    // True while the Upload flow runs.
    bool Working() const { return fWorking; }

protected:
    // Closing (the Close button, the close box, Escape) while the flow runs
    // only marks the dialog: the flow goes on and closes it at its end.
    void reject() override;

private:
    void FormCreate(const std::string& programFolder);
    // Creates the archive, a new private file in the temporary folder, sets
    // archive to its path and packs files into it; false when Abort was
    // confirmed during the build or no archive is left.
    bool BuildVoiceArchive(const std::vector<std::string>& files, std::string& archive);
    bool UploadVoiceArchive(const std::string& archive);

    // TArchiveProgress, driving ProgressBar1 during the build.
    void SetProgressMax(int32_t max) override;
    void SetProgressPosition(int32_t position) override;
    void RepaintProgress() override;
    void ProcessMessages() override;
    bool Cancelled() override;

    std::string fPath;
    bool fAborted = false;
    int32_t fArchiveSize = 0;
    bool fWorking = false;
};

// The handler of the main window's "Compress and Upload": creates a fresh
// dialog owned by owner, shows it modally, and destroys it when it closes
// (also when showing it raised). Nothing is passed in or read back.
void ShowUploadDialog(QWidget* owner);

}  // namespace orvant
