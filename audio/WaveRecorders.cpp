#include "audio/WaveRecorders.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// The hidden sibling a take is recorded into until the device records.
std::string PendingTakeName(const std::string& FileName) {
    const std::string name = ExtractFileName(FileName);
    return FileName.substr(0, FileName.size() - name.size()) + "." + name + ".recording";
}

}  // namespace

bool TStockAudioRecorder::RecordToFile(const std::string& FileName) {
    constexpr uint32_t mode = fmCreate | fmShareDenyWrite;
    TFileStream::CheckCreate(FileName, mode);
    const std::string pending = PendingTakeName(FileName);
    auto* stream = new TFileStream(pending, mode);
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
    const std::string pending = fPendingFile, take = fTakeFile;
    if (::rename(pending.c_str(), take.c_str()) != 0) {
        // The recording goes on under the sibling's name and stays there.
        const int e = errno;
        fCommitFailed = true;
        fPendingFile.clear();
        throw EFCreateError("Datei \"" + take + "\" kann nicht erstellt werden. " + SysErrorMessage(e) +
                            " The take is kept in \"" + pending + "\".");
    }
    fPendingFile.clear();
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
    const int32_t written = Wave != nullptr ? Wave->Write(Buffer, int32_t(BufferSize)) : -1;
    // The header states what the take holds after every buffer, so a take
    // cut short by a crash or a power cut is still a WAVE image.
    const bool sized = written > 0 ? Wave->UpdateSizes() : true;
    if (written == int32_t(BufferSize) && sized) {
        fWriteFailing = false;
        return;
    }
    // Told once while the writes keep failing (every buffer of a full disk
    // fails), not once per buffer.
    if (fWriteFailing) return;
    fWriteFailing = true;
    fLastError = MMSYSERR_ERROR;
    if (OnError) {
        OnError(this);
        return;
    }
    throw EWaveAudioSysError(
        "The recording could not be written completely (the disk may be full). What was written up to now "
        "is kept, and recording goes on once there is space again.");
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

}  // namespace orvant
