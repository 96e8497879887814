// What the stock recorder and the stock player share on top of their device:
// the adapter of the current recording or playback, the optional wave storage
// with its free notification, the start of a new take-over of a stream, and
// the release of the adapter when an open fails.
#pragma once

#include <memory>
#include <mutex>

#include "audio/WaveIO.h"
#include "wave/WaveStorage.h"

namespace orvant {

template <class TDevice>
class TStockWaveDevice : public TDevice {
public:
    using TDevice::TDevice;

    TCustomWaveStorage* Stock() const { return fStock; }
    // Watches the storage's destruction and lets go of it then.
    void SetStock(TCustomWaveStorage* Value) {
        if (Value == fStock) return;
        if (fStock != nullptr) fStock->RemoveFreeNotification(this);
        fStock = Value;
        if (fStock != nullptr) fStock->FreeNotification(this);
    }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TDevice::Notification(AComponent, Operation);
        if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == fStock) SetStock(nullptr);
    }

    // The stream of Stock's item Index.
    TStream* StockStream(int32_t Index) {
        if (fStock == nullptr) throw EWaveAudioInvalidOperation("Stock property is not assigned");
        return fStock->WaveStreamAt(Index);
    }

    // Stops a running recording or playback and waits until its close has
    // completed: until then its buffers and its close handler still use
    // Wave. Then wraps Stream in a new adapter and opens the device; when
    // the open fails (or raises) the adapter, with an owned stream, is
    // released again.
    bool StartWith(TStream* Stream, TStreamOwnership Ownership) {
        // Until an adapter holds it, an owned stream is ours to free.
        std::unique_ptr<TStream> owned(Ownership == soOwned ? Stream : nullptr);
        StopAndWaitClosed();

        Wave = new TWaveStreamAdapter(Stream, Ownership);
        owned.release();
        bool result = false;
        try {
            result = this->OpenDevice();
        } catch (...) {
            FinishWave();
            throw;
        }
        if (!result) FinishWave();
        return result;
    }

    // Stops a running recording or playback and waits until its close has
    // completed; raises when the device is still open after all.
    void StopAndWaitClosed() {
        if (this->Active()) {
            try {
                this->SetActive(false);
            } catch (const EWaveAudioInvalidOperation&) {
                // The device closed by itself in between: nothing to stop.
                if (this->Active()) throw;
            }
        }
        this->WaitForStop();
        if (this->Active()) throw EWaveAudioInvalidOperation("Device is aleardy open");
    }

    // An open that failed releases the adapter before the error is
    // reported; an error while the device is open leaves it to the close.
    void DoError() override {
        if (!this->Active() && Wave != nullptr) {
            try {
                FinishWave();
            } catch (...) {
                TDevice::DoError();
                throw;
            }
        }
        TDevice::DoError();
    }

    // Ends the adapter's read or rewrite and frees it (an owned stream with
    // it); false when the image could not be completed.
    virtual bool FinishWave() = 0;

    // Adapter of the current recording or playback; nullptr when none.
    TWaveStreamAdapter* Wave = nullptr;
    TCustomWaveStorage* fStock = nullptr;
};

}  // namespace orvant
