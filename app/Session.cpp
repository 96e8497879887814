#include "app/Session.h"

#include <QString>

#include "platform/SysUtils.h"

namespace orvant {

// ---------------------------------------------------------------------------
// Phrase records

std::string TPhraseRecords::Load(const std::string& path, const std::string& programFolder) {
    fFolder = programFolder;
    fRecords.clear();
    TCatalogue c = LoadCatalogue(path, TCatalogueReading::StopAtFirstProblem);
    if (!c.refused.empty()) return c.refused;
    for (const TCataloguePhrase& p : c.phrases) fRecords.emplace_back(p, int(fRecords.size()), fFolder);
    return c.problems.empty() ? std::string() : c.problems.front().text;
}

const TWavInfo* TPhraseRecords::Parent(const TWavInfo& r) const {
    return r.parent >= 0 ? &fRecords[size_t(r.parent)] : nullptr;
}

int TPhraseRecords::SubtreeEnd(const TWavInfo& r) const {
    size_t i = size_t(r.index) + 1;
    while (i < fRecords.size() && fRecords[i].depth > r.depth) ++i;
    return int(i);
}

const TWavInfo* TPhraseRecords::RecordTarget(const TWavInfo* selected) const {
    if (!selected) return nullptr;
    // A node without a take name of its own records its parent's take, the
    // one it is drawn with.
    const TWavInfo* r = selected->recfile.empty() ? Parent(*selected) : selected;
    return r && !r->recfile.empty() ? r : nullptr;
}

const TWavInfo* TPhraseRecords::StepPhrase(const TWavInfo* from, bool forward) const {
    const int step = forward ? 1 : -1;
    if (!from && !forward) return nullptr;
    for (int i = from ? from->index + step : 0; i >= 0 && size_t(i) < fRecords.size(); i += step)
        if (!fRecords[size_t(i)].recfile.empty()) return &fRecords[size_t(i)];
    return nullptr;
}

std::string TPhraseRecords::SamplePath(const TWavInfo& r) const { return SamplesFolder(fFolder) + r.samplefile; }

bool TPhraseRecords::SampleExists(const TWavInfo* r) const { return r && FileExists(SamplePath(*r)); }

std::string TPhraseRecords::TakePath(const TWavInfo& r) const {
    if (!r.recfileUsable)
        throw Exception("The take name \"" + r.recfile +
                        "\" from the catalogue is not a plain file name; it would not stay inside the folder \"" +
                        fFolder + "recorded\". Nothing was recorded or played.");
    return RecordedFolder(fFolder) + r.recfile;
}

// ---------------------------------------------------------------------------
// Takes

TTakes::TTakes(const TPhraseRecords& records) : fRecords(records) {}

TTakes::~TTakes() { StopChecks(); }

void TTakes::StartChecks(QObject* context, TOnChecked onChecked) {
    const std::string folder = RecordedFolder(fRecords.ProgramFolderPath());
    const auto checker = [&](bool handsFree) {
        return std::make_unique<TTakeChecker>(context, folder, [this, onChecked, handsFree](const auto& results) {
            Checked(results);
            onChecked(results, handsFree);
        });
    };
    fChecker = checker(false);
    fHandsFreeChecker = checker(true);
}

void TTakes::StopChecks() {
    fChecker.reset();
    fHandsFreeChecker.reset();
}

void TTakes::Scan() {
    if (fScanned || !fChecker) return;
    fScanned = true;
    fChecker->Check(Unchecked());
}

void TTakes::Check(const std::string& name, bool handsFree) {
    if (const auto& checker = handsFree ? fHandsFreeChecker : fChecker) checker->Check({name});
}

size_t TTakes::PendingChecks() const {
    return (fChecker ? fChecker->Pending() : 0) + (fHandsFreeChecker ? fHandsFreeChecker->Pending() : 0);
}

void TTakes::BeginRecording(const std::string& name) {
    fRecording = name;
    Renew(name);
}

void TTakes::EndRecording() {
    if (fRecording.empty()) return;
    Check(fRecording);
    fRecording.clear();
}

bool TTakes::Exists(const TWavInfo* r) const {
    return r && !r->recfile.empty() && r->recfileUsable &&
           FileExists(RecordedFolder(fRecords.ProgramFolderPath()) + r->recfile);
}

bool TTakes::ShownRecorded(const TWavInfo* r) const { return r && (Exists(r) || Exists(fRecords.Parent(*r))); }

void TTakes::Renew(const std::string& name) {
    fChecks[name] = TTakeCheck{true, 0};
    fPeaks.erase(name);
}

void TTakes::Checked(const TTakeChecker::TResults& results) {
    for (const auto& [name, check, peaks] : results) {
        if (name == fRecording) continue;
        fPeaks[name] = peaks;
        fChecks[name] = check;
    }
}

TTakeCheck TTakes::CheckOf(const std::string& name) const {
    const auto it = fChecks.find(name);
    return it == fChecks.end() ? TTakeCheck{} : it->second;
}

const TTakePeaks* TTakes::PeaksOf(const TWavInfo* r) const {
    if (!r || r->recfile.empty()) return nullptr;
    const auto it = fPeaks.find(r->recfile);
    return it != fPeaks.end() && Exists(r) ? &it->second : nullptr;
}

QString TTakes::Marker(const TWavInfo* r) const {
    if (!r || r->recfile.empty()) return {};
    const TTakeFlags flags = CheckOf(r->recfile).flags;
    if (!flags || !Exists(r)) return {};
    return DescribeTakeFlags(flags).replace('\n', ", ");
}

std::vector<std::string> TTakes::Unchecked() const {
    std::vector<std::string> names;
    for (const TWavInfo& r : fRecords.All())
        if (!r.recfile.empty() && r.recfileUsable && !fChecks.count(r.recfile)) names.push_back(r.recfile);
    return names;
}

std::pair<int, int> TTakes::Progress(const TWavInfo* r) const {
    const auto& all = fRecords.All();
    const size_t begin = r ? size_t(r->index) + 1 : 0;
    const size_t end = r ? size_t(fRecords.SubtreeEnd(*r)) : all.size();
    int phrases = 0, recorded = 0;
    for (size_t i = begin; i < end; ++i) {
        if (all[i].recfile.empty()) continue;
        ++phrases;
        if (CheckOf(all[i].recfile).exists) ++recorded;
    }
    return {phrases, recorded};
}

// ---------------------------------------------------------------------------
// Command rules

TCommandStates CommandStates(const TCommandInputs& in) {
    const bool recording = in.recorderActive || in.handsFreeRecording;
    TCommandStates s;
    s.playSample = in.sampleExists && !recording;
    s.playRecord = in.takeExists && !recording;
    s.rec = !in.recorderActive && !in.handsFree && in.recTarget;
    s.pause = in.playerActive || in.recorderActive;
    s.stop = in.playerActive || in.recorderActive || in.handsFree;
    s.metering = in.recorderActive || in.handsFree;
    return s;
}

bool HandsFreeTriesAgain(TTakeFlags flags) {
    constexpr TTakeFlags kTryAgain = tfClipped | tfQuiet | tfShort | tfUnreadable | tfCutShort;
    return (flags & kTryAgain) != 0;
}

const char* HandsFreeHold(const TWavInfo* r, bool playerActive) {
    if (playerActive) return "waits for the playback";
    if (!r || r->recfile.empty() || !r->recfileUsable) return "no take name";
    return nullptr;
}

}  // namespace orvant
