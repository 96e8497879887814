// The recording workbench's main window TDlgSndRecMain with its phrase tree
// and seven command buttons.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "app/ErrorBox.h"
#include "app/LevelMeter.h"
#include "app/PhraseTree.h"
#include "app/Session.h"

class QFrame;

namespace orvant {

class TComponent;
class TFlatButton;
class THandsFreeRecorder;
class TStockAudioPlayer;
class TStockAudioRecorder;

// A failure's text as the error box shows it to the speaker: when the sound
// system is not running or refused the connection, what happened and what
// to do in plain words, then the technical detail; otherwise the text as
// it is.
std::string InSpeakersWords(const std::string& text);

// ---------------------------------------------------------------------------
class TDlgSndRecMain : public QWidget, private TPhraseTreeHost {
    Q_OBJECT
public:
    // programPath is the executable whose folder is the program folder and
    // whose name gives the catalogue's; empty means the running executable.
    explicit TDlgSndRecMain(const std::string& programPath = {}, QWidget* parent = nullptr);
    ~TDlgSndRecMain() override;

    QTreeWidget* tv = nullptr;
    QFrame* Panel2 = nullptr;
    TLevelMeterButton* btnRec = nullptr;
    TFlatButton* btnStop = nullptr;
    TFlatButton* btnPause = nullptr;
    TFlatButton* btnPlayRecord = nullptr;
    TFlatButton* btnExit = nullptr;
    TStockAudioRecorder* Recorder = nullptr;
    TFlatButton* btnPlaySample = nullptr;
    TStockAudioPlayer* Player = nullptr;
    TFlatButton* btnCompressAndUpload = nullptr;
    // Records without keys while hands-free is on; its input stays open
    // for the whole mode.
    THandsFreeRecorder* HandsFree = nullptr;

    // The program folder, with a trailing '/'.
    const std::string& ProgramFolderPath() const { return fPath; }
    std::string CataloguePath() const { return CataloguePathFor(fProgramPath); }

    void FormCreate();
    void btnExitClick();
    void btnPlaySampleClick();
    void btnPlayRecordClick();
    void btnStopClick();
    void btnPauseClick();
    void tvChange();
    void btnRecClick();
    // Called for every item before it is painted: may turn its text green.
    void tvCustomDrawItem(QTreeWidget* sender, const QModelIndex& node, QStyleOptionViewItem& option) override;
    void btnCompressAndUploadClick();

    QTreeWidgetItem* SelectedNode() const;

    // Keyboard: select the next (or previous) node, in tree order, that has
    // a take name of its own, opening its groups; nothing at either end.
    void SelectNextPhrase();
    void SelectPreviousPhrase();

    // Hands-free (F11 turns it on and off): the selected phrase waits for
    // speech, a take begins at its first sound and ends after a pause; a
    // good take moves on to the next phrase, a flagged one waits for a new
    // attempt. F7 or Esc ends it.
    enum THandsFreeState {
        hfOff,
        hfListening,  // armed on the selected phrase, waiting for speech
        hfRecording,  // a take runs
        hfChecking,   // the take ended, its verdict decides what comes next
        hfHeld,       // a playback runs, or the selection has no take name
    };
    void ToggleHandsFree();
    THandsFreeState HandsFreeState() const;
    // Good takes recorded since the mode was turned on.
    int HandsFreeRecorded() const { return fHandsFreeRecorded; }

    // Take checks. Every take name's verdict, kept for the program's run:
    // found for the existing takes after the window is shown, and renewed
    // whenever a take ends.
    TTakeCheck TakeCheckOf(const std::string& recfile) const;
    // Takes still to be checked; also counts a start-up scan not yet begun.
    size_t PendingTakeChecks() const {
        return fTakes.PendingChecks() + (fScanStarted && !fTakes.Scanned() ? 1 : 0);
    }
    // The words beside an item whose own take exists and failed a check;
    // empty otherwise.
    QString TakeMarker(const QModelIndex& node) const override;
    // The item's tooltip: why its take failed a check, and for a node with
    // children how many phrases below it have their take.
    QString NodeToolTip(const QTreeWidgetItem* item) const override;
    // The peak summary of the item's own take, once it has been checked.
    const TTakePeaks* TakePeaks(const QModelIndex& node) const override;
    // The session the window shows: its phrase records and their takes.
    const TPhraseRecords& Phrases() const { return fPhrases; }
    const TTakes& Takes() const { return fTakes; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildForm();
    void BuildButtons();
    void BuildPhraseKeys();  // Ctrl+Down and Ctrl+Up
    void BuildDevices();
    void LoadCatalogue();
    void StopPlayer();
    void StopRecorder();
    void UpdateButtons();
    // False at either end: nothing was selected.
    bool SelectPhraseStep(bool forward);
    void StartHandsFree();
    void EndHandsFree();
    // Arms the recorder on the selected phrase, or holds it while a
    // playback runs or the selection has no take name of its own.
    void HandsFreeArm();
    void HandsFreeTakeEnded(const std::string& recfile, int how);
    void HandsFreeVerdict(TTakeCheck check);
    // Checks every existing take in the background; once, after showing.
    void StartTakeScan();
    void TakeChecked(const TTakeChecker::TResults& results, bool handsFree = false);
    void ShowProgress();
    // The two play commands: resume a paused player, or play the selected
    // node's sample (or take) after the player has stopped.
    void PlayCommand(bool sample);
    // Runs a command; an exception that leaves it goes to the error box.
    void Guarded(void (TDlgSndRecMain::*handler)());

    // Owns Recorder and Player; destroyed first when the window goes, so
    // that a recording still running is completed as "Stop" would.
    std::unique_ptr<TComponent> fComponents;
    std::string fPath;
    std::string fProgramPath;
    TPhraseRecords fPhrases;
    std::vector<QTreeWidgetItem*> fItems;  // the tree's node of each record, by index
    TTakes fTakes;
    bool fScanStarted = false;  // the window was shown: the scan is on its way
    bool fHandsFree = false;
    const TWavInfo* fArmed = nullptr;  // the phrase the hands-free recorder waits for
    std::string fHandsFreeTake;        // its take name while recorded and checked
    bool fHandsFreeChecking = false;
    bool fHandsFreeCut = false;        // the take ended at the longest a take may run
    int fHandsFreeRecorded = 0;
    std::string fPlayerFile;  // the file the player was last started on
};

}  // namespace orvant
