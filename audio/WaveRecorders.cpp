#include "audio/WaveRecorders.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

TStockAudioRecorder::TStockAudioRecorder(TComponent* AOwner) : TStockWaveDevice<TWaveAudioIn>(AOwner) {}

TStockAudioRecorder::~TStockAudioRecorder() {
    // Closes the device while this class's close handler still exists; it
    // completes and frees the adapter.
    ShutDown();
    FinishWave();
    SetStock(nullptr);
}

bool TStockAudioRecorder::FinishWave() {
    if (Wave == nullptr) return true;
    std::unique_ptr<TWaveStreamAdapter> wave(Wave);
    Wave = nullptr;
    return wave->EndRewrite();
}

bool TStockAudioRecorder::RecordToStream(TStream* AStream) { return StartRecording(AStream, soReference); }

namespace {

constexpr uint32_t kTakeFileMode = fmCreate | fmShareDenyWrite;

// The hidden sibling a take is recorded into until the device records.
std::string PendingTakeName(const std::string& FileName) {
    const std::string name = ExtractFileName(FileName);
    return FileName.substr(0, FileName.size() - name.size()) + "." + name + ".recording";
}

// Renames the sibling over the take; raises the take's creation error when
// that fails (the recording then goes on under the sibling's name).
void PutTakeInPlace(const std::string& pending, const std::string& take) {
    if (::rename(pending.c_str(), take.c_str()) == 0) return;
    const int e = errno;
    throw EFCreateError("Datei \"" + take + "\" kann nicht erstellt werden. " + SysErrorMessage(e) +
                        " The take is kept in \"" + pending + "\".");
}

// Appends one buffer to a take and brings its header up to date: the header
// states what the take holds after every buffer, so a take cut short by a
// crash or a power cut is still a WAVE image. True when all of it went in.
bool AppendToTake(TWaveStreamAdapter* wave, const void* buffer, uint32_t size) {
    const int32_t written = wave != nullptr ? wave->Write(buffer, int32_t(size)) : -1;
    const bool sized = written > 0 ? wave->UpdateSizes() : true;
    return written == int32_t(size) && sized;
}

// Whether a write's outcome is to be told now: the first of a series of
// failures is (every buffer of a full disk fails), the others are not.
bool FirstFailure(bool written, bool& failing) {
    if (written) {
        failing = false;
        return false;
    }
    if (failing) return false;
    failing = true;
    return true;
}

const char* const kWriteFailed =
    "The recording could not be written completely (the disk may be full). What was written up to now "
    "is kept, and recording goes on once there is space again.";

}  // namespace

bool TStockAudioRecorder::RecordToFile(const std::string& FileName) {
    TFileStream::CheckCreate(FileName, kTakeFileMode);
    const std::string pending = PendingTakeName(FileName);
    auto* stream = new TFileStream(pending, kTakeFileMode);
    // A running take is completed (and has replaced its file) first.
    try {
        StopAndWaitClosed();
    } catch (...) {
        delete stream;
        ::unlink(pending.c_str());
        throw;
    }
    fTakeFile = FileName;
    fPendingFile = pending;
    fCommitFailed = false;
    bool result = false;
    try {
        result = StartRecording(stream, soOwned);
    } catch (...) {
        DiscardPendingTake();
        throw;
    }
    if (!result) DiscardPendingTake();
    return result;
}

void TStockAudioRecorder::CommitTake() {
    if (fPendingFile.empty()) return;
    const std::string pending = fPendingFile;
    fPendingFile.clear();
    try {
        PutTakeInPlace(pending, fTakeFile);
    } catch (...) {
        fCommitFailed = true;  // it stays under the sibling's name
        throw;
    }
}

void TStockAudioRecorder::DiscardPendingTake() {
    if (!fPendingFile.empty()) ::unlink(fPendingFile.c_str());
    fPendingFile.clear();
    fTakeFile.clear();
}

void TStockAudioRecorder::DoWimOpen() {
    // A device that did not start (it is left paused, though nobody asked
    // for a pause) closes again: the take is not replaced, and the recorder
    // does not stay open recording nothing.
    const bool pausedOnPurpose = fPaused;
    auto closeUnstarted = [this, pausedOnPurpose] {
        if (pausedOnPurpose || !fPaused || fHandshake.Closing() || !HasDeviceHandle()) return;
        fPaused = false;
        CloseDevice();
    };
    try {
        TWaveAudioIn::DoWimOpen();
    } catch (...) {
        closeUnstarted();
        throw;
    }
    closeUnstarted();
    if (!fPaused && !fHandshake.Closing()) CommitTake();
}

void TStockAudioRecorder::DoResume() {
    // Opened paused on purpose: the take is replaced when recording starts.
    if (HasDeviceHandle() && !fHandshake.Closing()) CommitTake();
    TWaveAudioIn::DoResume();
}

bool TStockAudioRecorder::RecordToStock(int32_t Index) { return StartRecording(StockStream(Index), soReference); }

bool TStockAudioRecorder::Stop() { return CloseDevice(); }

bool TStockAudioRecorder::StartRecording(TStream* Stream, TStreamOwnership Ownership) {
    fWriteFailing = false;
    return StartWith(Stream, Ownership);
}

void TStockAudioRecorder::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
    TWaveAudioIn::GetWaveFormat(pWaveFormat, FreeIt);
    // The target is rewritten before the device is asked whether it accepts
    // the format: a refused device leaves an empty WAVE image behind.
    if (pWaveFormat != nullptr && Wave != nullptr) Wave->BeginRewrite(pWaveFormat);
}

void TStockAudioRecorder::HandleInputData(void* Buffer, uint32_t BufferSize, bool& /*FreeIt*/) {
    if (!FirstFailure(AppendToTake(Wave, Buffer, BufferSize), fWriteFailing)) return;
    fLastError = MMSYSERR_ERROR;
    if (OnError) {
        OnError(this);
        return;
    }
    throw EWaveAudioSysError(kWriteFailed);
}

void TStockAudioRecorder::DoWimClose() {
    bool completed = true;
    try {
        completed = FinishWave();
    } catch (...) {
        DiscardPendingTake();
        TWaveAudioIn::DoWimClose();
        throw;
    }
    DiscardPendingTake();
    TWaveAudioIn::DoWimClose();
    // A target whose sizes could not be written is no complete image: say
    // so rather than close as if all were well.
    if (!completed) CheckResult(MMSYSERR_ERROR);
}

void TStockAudioRecorder::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value)
        RecordToStock(0);
    else
        Stop();
}

// ---------------------------------------------------------------------------
// Hands-free recorder

namespace {

// The ring holds the pre-roll, the time speech takes to be recognised and
// the pause a take may still go on after; the pause allowance is capped so
// that it fits.
constexpr uint32_t kRingMs = 5000, kLongestSilenceMs = 3000;

}  // namespace

THandsFreeRecorder::THandsFreeRecorder(TComponent* AOwner) : TWaveAudioIn(AOwner) {}

THandsFreeRecorder::~THandsFreeRecorder() { ShutDown(); }

bool THandsFreeRecorder::Listen() {
    if (Active()) return true;
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, fPCMFormat);
    if (wf.wFormatTag != WAVE_FORMAT_PCM || wf.wBitsPerSample != 16 || wf.nChannels == 0)
        throw EWaveAudioInvalidOperation("Recording without keys needs a 16-bit PCM format");
    fRate = wf.nSamplesPerSec;
    fChannels = wf.nChannels;
    fDetector = std::make_unique<TSpeechDetector>(fRate, fChannels);
    fRing.assign(size_t(fRate) * kRingMs / 1000 * fChannels, 0);
    fRingFrames = 0;
    fTarget.clear();
    return OpenDevice();
}

void THandsFreeRecorder::Stop() { CloseDevice(); }

void THandsFreeRecorder::Arm(const std::string& FileName, uint32_t silenceMs) {
    std::lock_guard<std::recursive_mutex> lock(CS);
    if (!fDetector) throw EWaveAudioInvalidOperation("The recorder is not listening");
    TFileStream::CheckCreate(FileName, kTakeFileMode);
    Disarm();
    fDetector->SetSilenceMs(std::min(silenceMs, kLongestSilenceMs));
    fDetector->Restart();
    fTarget = FileName;
}

void THandsFreeRecorder::Disarm() {
    std::lock_guard<std::recursive_mutex> lock(CS);
    fTarget.clear();
    EndTake(teStopped);
}

uint32_t THandsFreeRecorder::TakeMs() const {
    return Recording() && fRate ? uint32_t((fRingFrames - fTakeBegin) * 1000 / fRate) : 0;
}

uint64_t THandsFreeRecorder::KeepUntil() const {
    const uint64_t postRoll = uint64_t(fRate) * kPostRollMs / 1000;
    return std::min(fRingFrames, fDetector->SpeechEndFrame() + postRoll);
}

void THandsFreeRecorder::HandleInputData(void* Buffer, uint32_t BufferSize, bool& /*FreeIt*/) {
    if (!fDetector) return;
    const auto* pcm = static_cast<const int16_t*>(Buffer);
    const size_t frames = BufferSize / (2u * fChannels), ringFrames = fRing.size() / fChannels;
    for (size_t done = 0; done < frames;) {
        const size_t at = size_t((fRingFrames + done) % ringFrames);
        const size_t n = std::min(frames - done, ringFrames - at);
        std::memcpy(fRing.data() + at * fChannels, pcm + done * fChannels, n * 2 * fChannels);
        done += n;
    }
    fDetector->Feed(pcm, frames);
    fRingFrames += frames;
    if (!Armed()) return;
    if (!Recording()) {
        if (fDetector->State() == TSpeechDetector::sdWaiting) return;
        BeginTake();
    }
    const uint64_t longest = uint64_t(fRate) * kLongestTakeMs / 1000;
    if (fDetector->State() == TSpeechDetector::sdEnded)
        EndTake(teSilence);
    else if (KeepUntil() - fTakeBegin >= longest)
        EndTake(teLimit);
    else
        WriteUpTo(KeepUntil());
}

void THandsFreeRecorder::BeginTake() {
    const uint64_t ringFrames = fRing.size() / fChannels;
    const uint64_t oldest = fRingFrames > ringFrames ? fRingFrames - ringFrames : 0;
    const uint64_t preRoll = uint64_t(fRate) * kPreRollMs / 1000, onset = fDetector->OnsetFrame();
    fTakeBegin = std::max(oldest, onset > preRoll ? onset - preRoll : 0);
    fWritten = fTakeBegin;
    fTakeFile = fTarget;
    fPendingFile = PendingTakeName(fTarget);
    fWriteFailing = false;
    try {
        fTake = std::make_unique<TWaveStreamAdapter>(new TFileStream(fPendingFile, kTakeFileMode), soOwned);
        tWAVEFORMATEX wf{};
        PCMFormatToWaveFormat(&wf, fPCMFormat);
        if (!fTake->BeginRewrite(&wf)) throw EWaveAudioSysError("The take \"" + fTakeFile + "\" could not be started.");
        WriteUpTo(KeepUntil());
    } catch (...) {
        // Nothing to keep: the take before stays, and the recorder waits no
        // longer (it would fail again with every buffer).
        fTake.reset();
        ::unlink(fPendingFile.c_str());
        fPendingFile.clear();
        fTarget.clear();
        throw;
    }
    // It holds speech now: it replaces the take before.
    const std::string pending = fPendingFile;
    fPendingFile.clear();
    try {
        PutTakeInPlace(pending, fTakeFile);
    } catch (...) {
        fTakeFile = pending;
        throw;
    }
    if (OnTakeBegin) OnTakeBegin(this, fTakeFile);
}

void THandsFreeRecorder::WriteUpTo(uint64_t frame) {
    const uint64_t ringFrames = fRing.size() / fChannels;
    fWritten = std::max(fWritten, fRingFrames > ringFrames ? fRingFrames - ringFrames : 0);
    while (fWritten < frame) {
        const size_t at = size_t(fWritten % ringFrames);
        const size_t n = size_t(std::min<uint64_t>(frame - fWritten, ringFrames - at));
        const bool written = AppendToTake(fTake.get(), fRing.data() + at * fChannels, uint32_t(n * 2 * fChannels));
        fWritten += n;
        if (FirstFailure(written, fWriteFailing)) {
            fLastError = MMSYSERR_ERROR;
            if (OnError)
                OnError(this);
            else
                throw EWaveAudioSysError(kWriteFailed);
        }
    }
}

void THandsFreeRecorder::EndTake(TTakeEnd How) {
    if (!fTake) return;
    uint64_t until = KeepUntil();
    if (How == teLimit) until = std::min(until, fTakeBegin + uint64_t(fRate) * kLongestTakeMs / 1000);
    fTarget.clear();
    const std::string file = fTakeFile;
    // A write that fails is told once the take is complete and reported.
    std::exception_ptr failure;
    try {
        WriteUpTo(until);
    } catch (...) {
        failure = std::current_exception();
    }
    const bool completed = fTake->EndRewrite();
    fTake.reset();
    fTakeFile.clear();
    if (OnTakeEnd) OnTakeEnd(this, file, How);
    if (failure) std::rethrow_exception(failure);
    if (!completed)
        throw EWaveAudioSysError("The take \"" + file +
                                 "\" could not be completed (the disk may be full); it keeps what was written.");
}

void THandsFreeRecorder::DoWimClose() {
    try {
        EndTake(teStopped);
    } catch (...) {
        TWaveAudioIn::DoWimClose();
        throw;
    }
    TWaveAudioIn::DoWimClose();
}

}  // namespace orvant
