#include "audio/WavePlayers.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/ResourceStream.h"
#include "wave/WaveUtils.h"

namespace orvant {

TStockAudioPlayer::TStockAudioPlayer(TComponent* AOwner) : TWaveAudioOut(AOwner) {}

TStockAudioPlayer::~TStockAudioPlayer() {
    // Closes the device while this class's close handler still exists; it
    // completes and frees the adapter.
    ShutDown();
    FinishWave();
    SetStock(nullptr);
}

void TStockAudioPlayer::FinishWave() {
    if (Wave == nullptr) return;
    std::unique_ptr<TWaveStreamAdapter> wave(Wave);
    Wave = nullptr;
    wave->EndRead();
}

bool TStockAudioPlayer::PlayStream(TStream* AStream) { return StartPlaying(AStream, soReference); }

bool TStockAudioPlayer::PlayFile(const std::string& FileName) {
    return StartPlaying(new TFileStream(FileName, fmOpenRead | fmShareDenyWrite), soOwned);
}

bool TStockAudioPlayer::PlayResName(uint32_t Instance, const std::string& ResName) {
    return StartPlaying(new TResourceStream(Instance, ResName, "WAVE"), soOwned);
}

bool TStockAudioPlayer::PlayResID(uint32_t Instance, int32_t ResID) {
    return StartPlaying(new TResourceStream(Instance, ResID, "WAVE"), soOwned);
}

bool TStockAudioPlayer::PlayStock(int32_t Index) {
    if (fStock == nullptr) throw EWaveAudioInvalidOperation("Stock property is not assigned");
    return StartPlaying(fStock->WaveStreamAt(Index), soReference);
}

bool TStockAudioPlayer::Stop() { return CloseDevice(); }

bool TStockAudioPlayer::StartPlaying(TStream* Stream, TStreamOwnership Ownership) {
    // Until an adapter holds it, an owned stream is ours to free.
    std::unique_ptr<TStream> owned(Ownership == soOwned ? Stream : nullptr);
    if (Active()) {
        try {
            SetActive(false);
        } catch (const EWaveAudioInvalidOperation&) {
            // The playback reached its end and closed in between.
            if (Active()) throw;
        }
    }
    // The previous playback's close handler still frees whatever Wave holds:
    // the new adapter may take it over only after that close.
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

void TStockAudioPlayer::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
    // The record belongs to the adapter.
    FreeIt = false;
    pWaveFormat = nullptr;
    if (Wave == nullptr || !Wave->BeginRead()) return;  // not a readable WAVE image: no format
    pWaveFormat = Wave->WaveFormat();
    Wave->SetPosition(int32_t(BlockBytesForMs(pWaveFormat, fStartPosition)));
}

uint32_t TStockAudioPlayer::FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t& /*NumLoops*/) {
    if (Wave == nullptr || Wave->State() != wssReading) return 0;
    // Only the data chunk is audio: chunks that follow it in a foreign file
    // are not played.
    const int64_t left = int64_t(Wave->DataSize()) - int64_t(Wave->Position());
    if (left <= 0) return 0;
    const int32_t count = int32_t(std::min<int64_t>(BufferSize, left));
    const int32_t got = Wave->Read(Buffer, count);
    // A read error ends the playback as the end of the data does.
    return got > 0 ? uint32_t(got) : 0;
}

void TStockAudioPlayer::DoWomClose() {
    try {
        FinishWave();
    } catch (...) {
        TWaveAudioOut::DoWomClose();
        throw;
    }
    TWaveAudioOut::DoWomClose();
}

void TStockAudioPlayer::DoError() {
    // An open that failed releases the source before the error is reported;
    // an error while playing leaves the adapter to the close.
    if (!Active() && Wave != nullptr) {
        try {
            FinishWave();
        } catch (...) {
            TWaveAudioOut::DoError();
            throw;
        }
    }
    TWaveAudioOut::DoError();
}

void TStockAudioPlayer::SetPosition(uint32_t Value) {
    // The callback thread reads the same adapter under the device's lock:
    // the move and the reset that refills every queued buffer from the new
    // place happen under it too, so no buffer is filled in between.
    Lock();
    try {
        if (Wave != nullptr && Wave->State() == wssReading)
            Wave->SetPosition(int32_t(BlockBytesForMs(Wave->WaveFormat(), Value)));
        TWaveAudioOut::SetPosition(Value);
    } catch (...) {
        Unlock();
        throw;
    }
    Unlock();
}

void TStockAudioPlayer::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value)
        PlayStock(0);
    else
        Stop();
}

void TStockAudioPlayer::SetStock(TCustomWaveStorage* Value) {
    if (Value == fStock) return;
    if (fStock != nullptr) fStock->RemoveFreeNotification(this);
    fStock = Value;
    if (fStock != nullptr) fStock->FreeNotification(this);
}

void TStockAudioPlayer::Notification(TComponent* AComponent, TOperation Operation) {
    TWaveAudioOut::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == fStock) SetStock(nullptr);
}

}  // namespace orvant
