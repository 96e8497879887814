#include "audio/WavePlayers.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/ResourceStream.h"
#include "wave/WaveUtils.h"

namespace orvant {

TStockAudioPlayer::TStockAudioPlayer(TComponent* AOwner) : TStockWaveDevice<TWaveAudioOut>(AOwner) {}

TStockAudioPlayer::~TStockAudioPlayer() {
    // Closes the device while this class's close handler still exists; it
    // frees the adapter.
    ShutDown();
    FinishWave();
    SetStock(nullptr);
}

bool TStockAudioPlayer::FinishWave() {
    if (Wave == nullptr) return true;
    std::unique_ptr<TWaveStreamAdapter> wave(Wave);
    Wave = nullptr;
    wave->EndRead();
    return true;
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

bool TStockAudioPlayer::PlayStock(int32_t Index) { return StartPlaying(StockStream(Index), soReference); }

bool TStockAudioPlayer::Stop() { return CloseDevice(); }

bool TStockAudioPlayer::StartPlaying(TStream* Stream, TStreamOwnership Ownership) {
    return StartWith(Stream, Ownership);
}

void TStockAudioPlayer::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
    // The record belongs to the adapter.
    FreeIt = false;
    pWaveFormat = nullptr;
    if (Wave == nullptr || !Wave->BeginRead()) return;  // not a readable WAVE image: no format
    pWaveFormat = Wave->WaveFormat();
    Wave->SetPosition(BlockBytesForMs(pWaveFormat, fStartPosition));
}

uint32_t TStockAudioPlayer::FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t& /*NumLoops*/) {
    if (Wave == nullptr || Wave->State() != wssReading) return 0;
    // Only the data chunk is audio: chunks that follow it in a foreign file
    // are not played.
    const int64_t left = int64_t(Wave->DataSize()) - Wave->Position();
    const int32_t got = left > 0 ? Wave->Read(Buffer, int32_t(std::min<int64_t>(BufferSize, left))) : 0;
    // A read error ends the playback as the end of the data does. Once the
    // last bytes are read the file is let go: what is left to play is in the
    // buffers, and the file is free for a new take while they play out.
    if (got <= 0 || got == left) FinishWave();
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

void TStockAudioPlayer::SetPosition(uint32_t Value) {
    // The callback thread reads the same adapter under the device's lock:
    // the move and the reset that refills every queued buffer from the new
    // place happen under it too, so no buffer is filled in between.
    std::lock_guard<std::recursive_mutex> lock(CS);
    if (Wave != nullptr && Wave->State() == wssReading)
        Wave->SetPosition(BlockBytesForMs(Wave->WaveFormat(), Value));
    TWaveAudioOut::SetPosition(Value);
}

void TStockAudioPlayer::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value)
        PlayStock(0);
    else
        Stop();
}

}  // namespace orvant
