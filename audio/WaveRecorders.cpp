#include "audio/WaveRecorders.h"

#include <memory>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

TStockAudioRecorder::TStockAudioRecorder(TComponent* AOwner) : TWaveAudioIn(AOwner) {}

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

bool TStockAudioRecorder::RecordToFile(const std::string& FileName) {
    return StartRecording(new TFileStream(FileName, fmCreate | fmShareDenyWrite), soOwned);
}

bool TStockAudioRecorder::RecordToStock(int32_t Index) {
    if (fStock == nullptr) throw EWaveAudioInvalidOperation("Stock property is not assigned");
    return StartRecording(fStock->WaveStreamAt(Index), soReference);
}

bool TStockAudioRecorder::Stop() { return CloseDevice(); }

bool TStockAudioRecorder::StartRecording(TStream* Stream, TStreamOwnership Ownership) {
    // Until an adapter holds it, an owned stream is ours to free.
    std::unique_ptr<TStream> owned(Ownership == soOwned ? Stream : nullptr);
    if (Active()) {
        try {
            SetActive(false);
        } catch (const EWaveAudioInvalidOperation&) {
            // The device closed by itself in between; nothing to stop.
            if (Active()) throw;
        }
    }
    // The previous recording's remaining buffers and its close handler still
    // use Wave: the new adapter may take it over only after that close.
    WaitForStop();
    if (Active()) throw EWaveAudioInvalidOperation("Device is aleardy open");

    Wave = new TWaveStreamAdapter(Stream, Ownership);
    owned.release();
    bool result = false;
    try {
        result = OpenDevice();
    } catch (...) {
        FinishWave();
        throw;
    }
    if (!result) FinishWave();
    return result;
}

void TStockAudioRecorder::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
    TWaveAudioIn::GetWaveFormat(pWaveFormat, FreeIt);
    // The target is rewritten before the device is asked whether it accepts
    // the format: a refused device leaves an empty WAVE image behind.
    if (pWaveFormat != nullptr && Wave != nullptr) Wave->BeginRewrite(pWaveFormat);
}

void TStockAudioRecorder::HandleInputData(void* Buffer, uint32_t BufferSize, bool& /*FreeIt*/) {
    const int32_t written = Wave != nullptr ? Wave->Write(Buffer, int32_t(BufferSize)) : -1;
    if (written != int32_t(BufferSize)) CheckResult(MMSYSERR_ERROR);
}

void TStockAudioRecorder::DoWimClose() {
    bool completed = true;
    try {
        completed = FinishWave();
    } catch (...) {
        TWaveAudioIn::DoWimClose();
        throw;
    }
    TWaveAudioIn::DoWimClose();
    // A target whose sizes could not be written is not a complete image:
    // say so instead of closing as if all were well.
    if (!completed) CheckResult(MMSYSERR_ERROR);
}

void TStockAudioRecorder::DoError() {
    // An open that failed completes and releases the target before the
    // error is reported; an error while recording leaves it to the close.
    if (!Active() && Wave != nullptr) {
        try {
            FinishWave();
        } catch (...) {
            TWaveAudioIn::DoError();
            throw;
        }
    }
    TWaveAudioIn::DoError();
}

void TStockAudioRecorder::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value)
        RecordToStock(0);
    else
        Stop();
}

void TStockAudioRecorder::SetStock(TCustomWaveStorage* Value) {
    if (Value == fStock) return;
    if (fStock != nullptr) fStock->RemoveFreeNotification(this);
    fStock = Value;
    if (fStock != nullptr) fStock->FreeNotification(this);
}

void TStockAudioRecorder::Notification(TComponent* AComponent, TOperation Operation) {
    TWaveAudioIn::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == fStock) SetStock(nullptr);
}

}  // namespace orvant
