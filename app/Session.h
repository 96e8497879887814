// The recording session without widgets: the catalogue's phrase records,
// the takes on disk with their checks, and the rules that decide which
// commands are open. The main window drives these and draws what they say;
// nothing here needs more of Qt than its core.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/TakeCheck.h"
#include "app/WavInfo.h"

class QObject;
class QString;

namespace orvant {

// The phrase records of one catalogue, one per element in document order,
// which is the order of the tree that shows them.
class TPhraseRecords {
public:
    // Reads the catalogue at path for the program folder (with a trailing
    // '/'). Returns why the load stopped, empty when it is complete; the
    // records of the elements before a node that cannot be loaded are kept.
    std::string Load(const std::string& path, const std::string& programFolder);

    const std::deque<TWavInfo>& All() const { return fRecords; }  // a deque never moves them
    const std::string& ProgramFolderPath() const { return fFolder; }
    const TWavInfo* Parent(const TWavInfo& r) const;
    // One past the last record below r.
    int SubtreeEnd(const TWavInfo& r) const;

    // The record whose take "Rec" writes for the selected record: its own,
    // or for one without a take name its parent's; nullptr when none.
    const TWavInfo* RecordTarget(const TWavInfo* selected) const;
    // The next (or previous) record in tree order that has a take name of
    // its own; from none, forward gives the first. nullptr at either end.
    const TWavInfo* StepPhrase(const TWavInfo* from, bool forward) const;

    std::string SamplePath(const TWavInfo& r) const;
    bool SampleExists(const TWavInfo* r) const;
    // The take's path in recorded/. Raises Exception for a take name that
    // is not a plain file name, naming it: it is never used as a path.
    std::string TakePath(const TWavInfo& r) const;

private:
    std::string fFolder;
    std::deque<TWavInfo> fRecords;
};

// The takes of a session's phrases in recorded/: whether each is on disk
// (looked at when asked, as the folder may change under the program), and
// every take name's check verdict and peak summary, kept for the run. The
// checks run on worker threads of their own.
class TTakes {
public:
    using TOnChecked = std::function<void(const TTakeChecker::TResults&, bool handsFree)>;

    explicit TTakes(const TPhraseRecords& records);
    ~TTakes();
    TTakes(const TTakes&) = delete;
    TTakes& operator=(const TTakes&) = delete;

    // Starts the checkers for the records' folder, once the catalogue is
    // loaded. Verdicts are taken in, then handed to onChecked on context's
    // thread (through its event loop), with whether they are the hands-free
    // checker's: a checker of its own, so that no verdict of the start-up
    // scan (read while a hands-free take was being recorded) is taken for
    // the take's. None arrives after StopChecks.
    void StartChecks(QObject* context, TOnChecked onChecked);
    void StopChecks();
    // Checks every usable take name without a verdict yet; once.
    void Scan();
    bool Scanned() const { return fScanned; }
    // Queues a take for checking: on the hands-free checker when asked.
    void Check(const std::string& name, bool handsFree = false);
    // Takes queued whose verdict has not come in.
    size_t PendingChecks() const;

    // "Rec" records the take: it is renewed, and checks that come back for
    // it while it is recorded are not taken. EndRecording queues its check.
    void BeginRecording(const std::string& name);
    void EndRecording();
    const std::string& Recording() const { return fRecording; }

    // The record's own take is a file in recorded/ now.
    bool Exists(const TWavInfo* r) const;
    // The record is drawn as recorded: its own take or its parent's exists.
    bool ShownRecorded(const TWavInfo* r) const;

    // A take is being made anew: it exists, unflagged, and its old peak
    // summary went with the old take.
    void Renew(const std::string& name);
    // Verdicts that came back from a checker, but for the take being
    // recorded (checked again at its end).
    void Checked(const TTakeChecker::TResults& results);
    void AddFlags(const std::string& name, TTakeFlags flags) { fChecks[name].flags |= flags; }

    // The verdict of a take name; the default (not there, no flags) while
    // none has come.
    TTakeCheck CheckOf(const std::string& name) const;
    // The peak summary of the record's own take, once it has been checked,
    // and while the file is there.
    const TTakePeaks* PeaksOf(const TWavInfo* r) const;
    // Why the record's own take, on disk, failed a check, on one line;
    // empty otherwise.
    QString Marker(const TWavInfo* r) const;
    // The usable take names without a verdict yet, for the start-up scan.
    // A name shared by several phrases is named more than once: rare, and
    // cheaper than sorting the names out.
    std::vector<std::string> Unchecked() const;
    // Phrases (records with a take name) below r, and how many of them have
    // their take; over the whole catalogue without r.
    std::pair<int, int> Progress(const TWavInfo* r = nullptr) const;

private:
    const TPhraseRecords& fRecords;
    std::unique_ptr<TTakeChecker> fChecker, fHandsFreeChecker;
    bool fScanned = false;
    std::string fRecording;  // being recorded with "Rec", empty when none
    std::unordered_map<std::string, TTakeCheck> fChecks;  // by take name
    std::unordered_map<std::string, TTakePeaks> fPeaks;   // by take name, as checked
};

// ---------------------------------------------------------------------------
// Command rules

// What the window's command buttons depend on, for the selected node.
struct TCommandInputs {
    bool sampleExists = false;        // its reference sample is on disk
    bool takeExists = false;          // its own take is on disk
    bool recTarget = false;           // "Rec" has a take to write
    bool recorderActive = false;      // a take recorded with "Rec" runs (or is paused)
    bool playerActive = false;        // a playback runs (or is paused)
    bool handsFree = false;           // the hands-free mode is on
    bool handsFreeRecording = false;  // a hands-free take runs
};

struct TCommandStates {
    bool playSample = false, playRecord = false, rec = false, pause = false, stop = false;
    bool metering = false;  // "Rec" shows the input level
    bool operator==(const TCommandStates&) const = default;
};

// One capture at a time: nothing plays while a take records; "Rec" waits
// while the hands-free mode is on, and "Stop" ends the mode.
TCommandStates CommandStates(const TCommandInputs& in);

// A hands-free take with these flags waits for a new attempt on the same
// phrase; any other verdict moves on to the next phrase.
bool HandsFreeTriesAgain(TTakeFlags flags);

// Why the hands-free recorder cannot wait for speech on record r, in the
// words shown on "Rec"; nullptr when it can.
const char* HandsFreeHold(const TWavInfo* r, bool playerActive);

}  // namespace orvant
