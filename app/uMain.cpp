#include "app/uMain.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QPalette>
#include <QScreen>
#include <QShortcut>
#include <QStringList>
#include <QVBoxLayout>

#include "audio/WaveIO.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/Component.h"
#include "platform/SysUtils.h"
#include "upload/uDlgFTPUpload.h"
#include "platform/widgets/FlatButton.h"
#include "platform/widgets/ProgramFont.h"
#include "wave/SpeechDetector.h"

namespace orvant {

namespace {

const QColor kWindowColour(23, 22, 29);
const QColor kWindowFontColour(255, 166, 0);

// The look all seven command buttons share; only their font colour differs.
void StyleCommandButton(TFlatButton* b, const QColor& font) {
    b->setFixedSize(135, 70);
    b->SetColor(kWindowColour);
    b->SetColorFocused(QColor(0, 84, 168));
    b->SetColorDown(kWindowColour);
    b->SetColorBorder(QColor(60, 56, 75));
    b->SetColorHighLight(QColor(88, 84, 112));
    b->SetColorShadow(kWindowColour);
    b->SetFontColor(font);
}

}  // namespace

std::string InSpeakersWords(const std::string& text) {
    // What the sound layer reports (through ALSA) when no sound server
    // listens, or one turned the program away.
    static const char* const kServerDown[] = {"Connection refused", "Host is down", "Connection reset"};
    for (const char* reason : kServerDown)
        if (text.find(reason) != std::string::npos)
            return "The sound system is not running, or it refused the connection, so nothing can be recorded "
                   "or played. Start the sound system (signing out and in again starts it), then try again.\n\n"
                   "Details: " + text;
    return text;
}

// ---------------------------------------------------------------------------
// Main window

TDlgSndRecMain::TDlgSndRecMain(const std::string& programPath, QWidget* parent)
    : QWidget(parent),
      fComponents(std::make_unique<TComponent>()),
      fProgramPath(programPath.empty() ? ProgramPath() : programPath),
      fTakes(fPhrases) {
    BuildForm();
    try {
        FormCreate();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    fTakes.StartChecks(this, [this](const TTakeChecker::TResults& r, bool handsFree) { TakeChecked(r, handsFree); });
    // Qt's tree does not select a node when it first gets the focus: select
    // the top node here so that the first selection change sets the buttons.
    if (tv->topLevelItemCount() > 0) tv->setCurrentItem(tv->topLevelItem(0));
}

TDlgSndRecMain::~TDlgSndRecMain() {
    // The devices stop and wait for their close while the window still
    // stands; a recording is completed as "Stop" would.
    fComponents.reset();
    fTakes.StopChecks();
}

void TDlgSndRecMain::BuildForm() {
    setWindowTitle("Orvant Sound Recording Tool");
    setFont(ProgramFont(8));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kWindowColour);
    pal.setColor(QPalette::WindowText, kWindowFontColour);
    setPalette(pal);
    setAutoFillBackground(true);

    // The phrase tree fills what the left column leaves.
    tv = new TPhraseTree(this, this);
    Panel2 = new QFrame(this);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(Panel2);
    row->addWidget(tv, 1);
    BuildButtons();
    BuildPhraseKeys();
    BuildDevices();
    connect(tv, &QTreeWidget::itemSelectionChanged, this, [this] { Guarded(&TDlgSndRecMain::tvChange); });

    // Client area 811 by 496, centred on the screen when first shown.
    resize(811, 496);
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    tv->setFocus();
}

void TDlgSndRecMain::BuildButtons() {
    // Left column: lowered outer bevel, flat frame, the buttons docked top-down.
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setLineWidth(1);
    Panel2->setFixedWidth(137);
    auto* column = new QVBoxLayout(Panel2);
    column->setContentsMargins(0, 0, 0, 0);  // inside the one-pixel bevel
    column->setSpacing(0);
    // Each command also has a key that works wherever the focus is in the
    // window; the function keys leave the tree its own keys and type-ahead.
    struct ButtonDef {
        TFlatButton** field;
        const char* caption;
        QColor font;
        void (TDlgSndRecMain::*handler)();
        int key;
        const char* tip;
    };
    TFlatButton* rec = btnRec = new TLevelMeterButton("Rec", Panel2);
    const ButtonDef defs[] = {
        {&btnExit, "Exit", QColor(128, 128, 128), &TDlgSndRecMain::btnExitClick, 0, nullptr},
        {&btnPlaySample, "How it should sound like", QColor(166, 255, 166), &TDlgSndRecMain::btnPlaySampleClick,
         Qt::Key_F5, "Hear the reference sample"},
        {&rec, "Rec", QColor(255, 0, 0), &TDlgSndRecMain::btnRecClick, Qt::Key_F6, "Record a take"},
        {&btnStop, "Stop", QColor(255, 255, 0), &TDlgSndRecMain::btnStopClick, Qt::Key_F7, "Stop"},
        {&btnPause, "Pause", QColor(0, 255, 255), &TDlgSndRecMain::btnPauseClick, Qt::Key_F8, "Pause"},
        {&btnPlayRecord, "Play Record", QColor(0, 255, 0), &TDlgSndRecMain::btnPlayRecordClick, Qt::Key_F9,
         "Hear the take"},
        {&btnCompressAndUpload, "Compress and Upload", QColor(255, 255, 255),
         &TDlgSndRecMain::btnCompressAndUploadClick, 0, nullptr},
    };
    QWidget* previous = tv;
    for (const ButtonDef& d : defs) {
        TFlatButton* b = *d.field ? *d.field : new TFlatButton(d.caption, Panel2);
        // A click leaves the keyboard focus where it was (the tree, so the
        // arrow keys go on moving through the phrases); Tab still stops here.
        b->setFocusPolicy(Qt::TabFocus);
        StyleCommandButton(b, d.font);
        column->addWidget(b);
        const auto handler = d.handler;
        connect(b, &QPushButton::clicked, this, [this, handler] { Guarded(handler); });
        if (d.key) {
            auto* key = new QShortcut(QKeySequence(d.key), this);
            connect(key, &QShortcut::activated, b, [b] { b->click(); });  // nothing while disabled
            b->setToolTip(QString("%1 (%2)").arg(d.tip, QKeySequence(d.key).toString(QKeySequence::NativeText)));
        }
        setTabOrder(previous, b);
        previous = b;
        *d.field = b;
    }
    column->addStretch(1);
    btnRec->setToolTip(btnRec->toolTip() + "; hands-free on or off (F11)");
}

void TDlgSndRecMain::BuildPhraseKeys() {
    const std::pair<QKeyCombination, void (TDlgSndRecMain::*)()> moves[] = {
        {Qt::CTRL | Qt::Key_Down, &TDlgSndRecMain::SelectNextPhrase},
        {Qt::CTRL | Qt::Key_Up, &TDlgSndRecMain::SelectPreviousPhrase},
    };
    for (const auto& [keys, handler] : moves)
        connect(new QShortcut(QKeySequence(keys), this), &QShortcut::activated, this,
                [this, handler = handler] { Guarded(handler); });
    // Hands-free on and off; Esc ends it as F7 does.
    connect(new QShortcut(QKeySequence(Qt::Key_F11), this), &QShortcut::activated, this,
            [this] { Guarded(&TDlgSndRecMain::ToggleHandsFree); });
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (fHandsFree) Guarded(&TDlgSndRecMain::EndHandsFree);
    });
}

void TDlgSndRecMain::BuildDevices() {
    // Devices: the recorder in 22050 Hz, 16-bit stereo with its messages on
    // this thread; the player with a callback thread of its own.
    Recorder = new TStockAudioRecorder(fComponents.get());
    Recorder->SetPCMFormat(TPCMFormat::Stereo16bit22050Hz);
    // Forty buffers of 50 ms hold the same two seconds as the stock two of
    // one second, and give the level meter on "Rec" twenty readings a second.
    Recorder->SetBufferLength(50);
    Recorder->SetBufferCount(40);
    Recorder->OnLevel = [this](TWaveAudioIO*, int32_t level) { btnRec->ShowLevel(level, Recorder->Position()); };
    Player = new TStockAudioPlayer(fComponents.get());
    Player->SetAsync(true);
    // The hands-free recorder in the same format and buffers, its messages
    // on this thread too.
    HandsFree = new THandsFreeRecorder(fComponents.get());
    HandsFree->SetPCMFormat(TPCMFormat::Stereo16bit22050Hz);
    HandsFree->SetBufferLength(50);
    HandsFree->SetBufferCount(40);
    HandsFree->OnLevel = [this](TWaveAudioIO*, int32_t level) {
        btnRec->ShowLevel(level, HandsFree->TakeMs());
        // A playback (the sample, the take) would be heard as speech: the
        // recorder waits again once it has ended.
        if (fHandsFree && !HandsFree->Recording() && HandsFree->Armed() == Player->Active()) HandsFreeArm();
    };
    HandsFree->OnTakeBegin = [this](THandsFreeRecorder*, const std::string&) {
        if (!fArmed) return;
        fHandsFreeTake = fArmed->recfile;
        fTakes.Renew(fHandsFreeTake);  // the old verdict went with the old take
        btnRec->SetHandsFree("recording");
        UpdateButtons();
        ShowProgress();
        tv->viewport()->update();
    };
    HandsFree->OnTakeEnd = [this](THandsFreeRecorder*, const std::string&, THandsFreeRecorder::TTakeEnd how) {
        // Handled after the device's handler has returned.
        QMetaObject::invokeMethod(
            this, [this, name = fHandsFreeTake, how] { HandsFreeTakeEnded(name, how); }, Qt::QueuedConnection);
    };
}

void TDlgSndRecMain::Guarded(void (TDlgSndRecMain::*handler)()) {
    ForgetEngineMessage();
    try {
        (this->*handler)();
    } catch (const std::exception& e) {
        ShowErrorBox(QString::fromStdString(InSpeakersWords(e.what())));
    }
}

void TDlgSndRecMain::FormCreate() {
    fPath = ProgramFolder(fProgramPath);
    LoadCatalogue();
}

void TDlgSndRecMain::LoadCatalogue() {
    const std::string problem = fPhrases.Load(CataloguePath(), fPath);
    // The subtree is built detached from the tree and attached in one step,
    // which spares the view one update per node; the nodes read before a
    // failure are attached all the same, and only a complete load expands.
    fItems.clear();
    fItems.reserve(fPhrases.All().size());
    for (const TWavInfo& r : fPhrases.All()) {
        QTreeWidgetItem* tn = NewPhraseNode(r);
        if (r.parent >= 0) fItems[size_t(r.parent)]->addChild(tn);
        fItems.push_back(tn);
    }
    if (!fItems.empty()) tv->addTopLevelItem(fItems.front());
    if (!problem.empty()) throw Exception(problem);
    if (!fItems.empty()) fItems.front()->setExpanded(true);
}

QTreeWidgetItem* TDlgSndRecMain::SelectedNode() const {
    const QList<QTreeWidgetItem*> sel = tv->selectedItems();
    return sel.isEmpty() ? nullptr : sel.front();
}

void TDlgSndRecMain::tvCustomDrawItem(QTreeWidget* sender, const QModelIndex& node, QStyleOptionViewItem& option) {
    if (sender->selectionModel() == nullptr || !sender->selectionModel()->hasSelection()) return;
    if (fTakes.ShownRecorded(WavInfoOf(node))) TPhraseTree::ShowAsRecorded(option);
}

void TDlgSndRecMain::tvChange() {
    if (Player->Active()) StopPlayer();
    // Hands-free follows the selection: a take in progress ends (and is
    // kept), the recorder waits for the newly selected phrase.
    if (fHandsFree && WavInfoOf(SelectedNode()) != fArmed) {
        HandsFree->Disarm();
        fHandsFreeChecking = false;
        HandsFreeArm();
    }
    UpdateButtons();
    // Whether any node is selected decides the colours of every item.
    tv->viewport()->update();
}

namespace {

// Sets the device inactive and lets the application handle its events until
// the device reports inactive. Between events the thread sleeps; a short
// timer wakes it for the test, since a device with a callback thread of its
// own finishes its close without posting anything to this thread.
void StopAndWait(TWaveAudioIO& device) {
    if (!device.Active()) return;
    device.SetActive(false);
    QTimer wake;
    wake.start(5);
    while (device.Active()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // A callback thread of its own may still be finishing its close handler.
    device.WaitForStop();
}

}  // namespace

void TDlgSndRecMain::StopPlayer() { StopAndWait(*Player); }

void TDlgSndRecMain::StopRecorder() { StopAndWait(*Recorder); }

void TDlgSndRecMain::UpdateButtons() {
    const TWavInfo* selected = WavInfoOf(SelectedNode());
    const TCommandStates on = CommandStates({
        .sampleExists = fPhrases.SampleExists(selected),
        .takeExists = fTakes.Exists(selected),
        .recTarget = fPhrases.RecordTarget(selected) != nullptr,
        .recorderActive = Recorder->Active(),
        .playerActive = Player->Active(),
        .handsFree = fHandsFree,
        .handsFreeRecording = HandsFree->Recording(),
    });
    btnPlaySample->setEnabled(on.playSample);
    btnPlayRecord->setEnabled(on.playRecord);
    btnRec->setEnabled(on.rec);
    btnPause->setEnabled(on.pause);
    btnStop->setEnabled(on.stop);
    if (btnRec->Metering() != on.metering) btnRec->SetMetering(on.metering);
}

void TDlgSndRecMain::btnExitClick() { close(); }

void TDlgSndRecMain::PlayCommand(bool sample) {
    if (Player->Paused()) {
        // Resume what the player was playing. A player stopped while paused
        // keeps its paused flag; then there is nothing to resume, the flag is
        // cleared and the press plays the file as asked (not a silent press).
        const bool resumable = Player->Active();
        Player->SetPaused(false);
        if (resumable) return;
    }
    StopPlayer();
    const TWavInfo* r = WavInfoOf(SelectedNode());
    if (!r) return;
    if (!sample && r->recfile.empty()) return;
    const std::string path = sample ? fPhrases.SamplePath(*r) : fPhrases.TakePath(*r);
    try {
        Player->PlayFile(path);
    } catch (const EWaveAudioSysError& e) {
        throw Exception(PlayFailureText(sample ? "reference sample" : "take", path, Player->LastError(), e.what()));
    }
    fPlayerFile = path;
    UpdateButtons();
}

void TDlgSndRecMain::btnPlaySampleClick() { PlayCommand(true); }

void TDlgSndRecMain::btnPlayRecordClick() { PlayCommand(false); }

void TDlgSndRecMain::btnRecClick() {
    const TWavInfo* r = fPhrases.RecordTarget(WavInfoOf(SelectedNode()));
    if (!r) return;
    const std::string path = fPhrases.TakePath(*r);
    // The speaker heard a slip in the take and records it again at once:
    // the player lets go of the take first (its close, which the stop waits
    // for, closes the file). Any other playback goes on.
    if (Player->Active() && fPlayerFile == path) StopPlayer();
    // "Rec" always records: a pause left over from an earlier take (paused,
    // then stopped) would open the device paused.
    if (Recorder->Paused()) Recorder->SetPaused(false);
    btnRec->SetNote({});
    const bool started = Recorder->RecordToFile(path);
    if (started) {
        // The take's old verdict no longer holds; the new one comes at "Stop".
        fTakes.BeginRecording(r->recfile);
        ShowProgress();
    }
    UpdateButtons();
    if (!started)
        throw Exception("Recording could not start: " + Recorder->LastErrorText() +
                        " The take on disk was not changed.");
}

void TDlgSndRecMain::btnStopClick() {
    if (fHandsFree) EndHandsFree();
    StopPlayer();
    StopRecorder();
    if (!Recorder->Active()) fTakes.EndRecording();
    UpdateButtons();
    tv->viewport()->update();
}

void TDlgSndRecMain::btnPauseClick() {
    if (Player->Active())
        Player->SetPaused(true);
    else if (Recorder->Active())
        Recorder->SetPaused(true);
    UpdateButtons();
}

void TDlgSndRecMain::btnCompressAndUploadClick() { ShowUploadDialog(this); }

// ---------------------------------------------------------------------------
// Keyboard moves

void TDlgSndRecMain::SelectNextPhrase() { SelectPhraseStep(true); }

void TDlgSndRecMain::SelectPreviousPhrase() { SelectPhraseStep(false); }

bool TDlgSndRecMain::SelectPhraseStep(bool forward) {
    const TWavInfo* to = fPhrases.StepPhrase(WavInfoOf(SelectedNode()), forward);
    if (!to) return false;
    QTreeWidgetItem* item = fItems[size_t(to->index)];
    tv->setCurrentItem(item);
    tv->scrollToItem(item);  // opens the groups above it
    return true;
}

// ---------------------------------------------------------------------------
// Hands-free

void TDlgSndRecMain::ToggleHandsFree() {
    if (fHandsFree)
        EndHandsFree();
    else
        StartHandsFree();
}

TDlgSndRecMain::THandsFreeState TDlgSndRecMain::HandsFreeState() const {
    if (!fHandsFree) return hfOff;
    if (HandsFree->Recording()) return hfRecording;
    if (fHandsFreeChecking) return hfChecking;
    return HandsFree->Armed() ? hfListening : hfHeld;
}

void TDlgSndRecMain::StartHandsFree() {
    // A take recorded with "Rec" ends first, as "Stop" would end it.
    if (Recorder->Active()) {
        StopRecorder();
        fTakes.EndRecording();
    }
    // On a phrase with a take name of its own: the selected one, or the first.
    const TWavInfo* r = WavInfoOf(SelectedNode());
    if (!r || r->recfile.empty()) {
        tv->setCurrentItem(nullptr);
        tv->clearSelection();
        if (!SelectPhraseStep(true)) throw Exception("There is no phrase with a take name to record.");
    }
    btnRec->SetNote({});
    if (!HandsFree->Listen()) {
        UpdateButtons();
        throw Exception("Recording could not start: " + HandsFree->LastErrorText());
    }
    fHandsFree = true;
    fHandsFreeRecorded = 0;
    fHandsFreeChecking = false;
    fArmed = nullptr;
    UpdateButtons();
    HandsFreeArm();
}

void TDlgSndRecMain::HandsFreeArm() {
    if (!fHandsFree || HandsFree->Recording() || fHandsFreeChecking) return;
    const QTreeWidgetItem* node = SelectedNode();
    const TWavInfo* r = WavInfoOf(node);
    fArmed = r;
    if (const char* hold = HandsFreeHold(r, Player->Active())) {
        HandsFree->Disarm();
        btnRec->SetHandsFree(hold);
        return;
    }
    HandsFree->Arm(fPhrases.TakePath(*r), SilenceAllowanceMs(size_t(node->text(0).size())));
    btnRec->SetHandsFree("listening");
}

void TDlgSndRecMain::HandsFreeTakeEnded(const std::string& recfile, int how) {
    if (recfile.empty()) return;
    // Its verdict decides where the mode goes on: see HandsFreeVerdict.
    const bool decides = fHandsFree && how != THandsFreeRecorder::teStopped && fArmed && fArmed->recfile == recfile;
    fHandsFreeChecking = decides;
    fHandsFreeCut = how == THandsFreeRecorder::teLimit;
    fHandsFreeTake = recfile;
    if (decides) btnRec->SetHandsFree("checking");
    fTakes.Check(recfile, true);
    UpdateButtons();
    tv->viewport()->update();
}

void TDlgSndRecMain::HandsFreeVerdict(TTakeCheck check) {
    fHandsFreeChecking = false;
    if (HandsFreeTriesAgain(check.flags)) {
        // The same phrase waits for a new attempt; its row says why.
        HandsFreeArm();
        return;
    }
    ++fHandsFreeRecorded;
    if (!SelectPhraseStep(true)) EndHandsFree();  // the last phrase: done
}

void TDlgSndRecMain::EndHandsFree() {
    if (!fHandsFree) return;
    fHandsFree = false;
    fArmed = nullptr;
    fHandsFreeChecking = false;
    // A take in progress holds speech: it is kept, and checked.
    HandsFree->Disarm();
    StopAndWait(*HandsFree);
    btnRec->SetHandsFree({});
    btnRec->SetNote(QString("%1 recorded hands-free").arg(fHandsFreeRecorded));
    UpdateButtons();
}

// ---------------------------------------------------------------------------
// Take checks and progress

void TDlgSndRecMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (fScanStarted) return;
    fScanStarted = true;
    // The scan starts once the tree has first been painted: the window comes
    // up as fast as without it.
    tv->viewport()->installEventFilter(this);
}

bool TDlgSndRecMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tv->viewport() && event->type() == QEvent::Paint) {
        tv->viewport()->removeEventFilter(this);
        QMetaObject::invokeMethod(this, [this] { StartTakeScan(); }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void TDlgSndRecMain::StartTakeScan() {
    fTakes.Scan();
    if (PendingTakeChecks() == 0) TakeChecked({});
}

void TDlgSndRecMain::TakeChecked(const TTakeChecker::TResults& results, bool handsFree) {
    // The verdicts are in fTakes already. Only takes that exist come back;
    // a take being recorded is checked at its end.
    if (handsFree)
        for (const TTakeChecker::TResult& r : results) {
            if (r.name != fHandsFreeTake || r.name == fTakes.Recording()) continue;
            if (fHandsFreeCut) fTakes.AddFlags(r.name, tfCutShort);
            if (fHandsFreeChecking) HandsFreeVerdict(fTakes.CheckOf(r.name));
        }
    tv->viewport()->update();
    ShowProgress();
}

TTakeCheck TDlgSndRecMain::TakeCheckOf(const std::string& recfile) const { return fTakes.CheckOf(recfile); }

void TDlgSndRecMain::ShowProgress() {
    // Shown once every take has been looked at; until then a count would be
    // too low.
    if (!fTakes.Scanned() || PendingTakeChecks() > 0) return;
    const auto [phrases, recorded] = fTakes.Progress();
    btnCompressAndUpload->SetNote(phrases ? QString("%1 of %2 recorded").arg(recorded).arg(phrases) : QString());
}

QString TDlgSndRecMain::TakeMarker(const QModelIndex& node) const { return fTakes.Marker(WavInfoOf(node)); }

const TTakePeaks* TDlgSndRecMain::TakePeaks(const QModelIndex& node) const { return fTakes.PeaksOf(WavInfoOf(node)); }

QString TDlgSndRecMain::NodeToolTip(const QTreeWidgetItem* item) const {
    if (!item) return {};
    QStringList lines;
    const TWavInfo* r = WavInfoOf(item);
    if (const QString why = fTakes.Marker(r); !why.isEmpty()) lines << why;
    if (r && item->childCount() > 0) {
        const auto [phrases, recorded] = fTakes.Progress(r);
        if (phrases > 0) lines << QString("%1 of %2 recorded").arg(recorded).arg(phrases);
    }
    return lines.join('\n');
}

}  // namespace orvant
