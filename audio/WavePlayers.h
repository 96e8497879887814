// The stock player: plays WAVE data from a file, a caller's stream, a WAVE
// resource of a module or an item of a wave storage component through the
// wave output device.
//
// Every playback wraps its source stream in a new TWaveStreamAdapter, opens
// the device in the format of the stream's header starting at Position, feeds
// the device from the adapter's data (only the data chunk; a read error ends
// the playback like the end of the data) and frees the adapter, with an owned
// file or resource stream, when the device reports closed.
#pragma once

#include <cstdint>
#include <string>

#include "audio/StockWaveDevice.h"
#include "audio/WaveOut.h"
#include "wave/WaveStorage.h"

namespace orvant {

class TStockAudioPlayer : public TStockWaveDevice<TWaveAudioOut> {
public:
    explicit TStockAudioPlayer(TComponent* AOwner = nullptr);
    // Stops a running playback and waits for its close.
    ~TStockAudioPlayer() override;

    // Each returns True when the device was opened. A running playback is
    // stopped, and its close awaited, before the new one takes over.
    bool PlayStream(TStream* AStream);
    // Opens FileName for reading; others may read but not write it while it
    // plays. A missing or locked file raises EFOpenError before anything
    // else happens.
    bool PlayFile(const std::string& FileName);
    // A resource of type "WAVE" in module Instance (HInstance() is the
    // program's own); a missing one raises EResNotFound.
    bool PlayResName(uint32_t Instance, const std::string& ResName);
    bool PlayResID(uint32_t Instance, int32_t ResID);
    // Plays Stock's stream for Index; raises EWaveAudioInvalidOperation
    // "Stock property is not assigned" without one.
    bool PlayStock(int32_t Index);
    // Starts the close and returns at once (CloseDevice).
    bool Stop();

    // True starts a playback of Stock's item 0; False stops.
    void SetActive(bool Value) override;

    // Moves the playback (milliseconds into the data); before a play it sets
    // where the next playback starts.
    void SetPosition(uint32_t Value) override;

protected:
    virtual bool StartPlaying(TStream* Stream, TStreamOwnership Ownership);

    void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
    uint32_t FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops) override;
    void DoWomClose() override;
    // Ends the adapter's read and frees it.
    bool FinishWave() override;
};

}  // namespace orvant
