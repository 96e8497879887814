#include "audio/WaveRecorders.h"

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

bool TStockAudioRecorder::RecordToFile(const std::string& FileName) {
    return StartRecording(new TFileStream(FileName, fmCreate | fmShareDenyWrite), soOwned);
}

bool TStockAudioRecorder::RecordToStock(int32_t Index) { return StartRecording(StockStream(Index), soReference); }

bool TStockAudioRecorder::Stop() { return CloseDevice(); }

bool TStockAudioRecorder::StartRecording(TStream* Stream, TStreamOwnership Ownership) {
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
