// The stock recorder: records from the wave input device into a WAVE image
// held in a file, a caller's stream or an item of a wave storage component.
//
// Every recording wraps its target stream in a new TWaveStreamAdapter, starts
// a rewrite with the recording format before the device is even queried (so a
// stream or storage target is emptied and gets an empty WAVE image also when
// the device then refuses), appends every recorded buffer through the adapter
// with the image's sizes brought up to date after each, and completes the
// image and frees the adapter when the device reports closed. So the target
// is a WAVE image any reader opens at every moment, holding everything up to
// the last buffer written; a write that fails keeps whole frames only.
//
// A file take is recorded into a hidden sibling file (".NAME.recording") that
// replaces the take only once the device really records: an existing take
// stays as it was when the device refuses, fails to start, or the recording
// is stopped before it started.
#pragma once

#include <cstdint>
#include <string>

#include "audio/StockWaveDevice.h"
#include "audio/WaveIn.h"
#include "wave/WaveStorage.h"

namespace orvant {

class TStockAudioRecorder : public TStockWaveDevice<TWaveAudioIn> {
public:
    explicit TStockAudioRecorder(TComponent* AOwner = nullptr);
    // Stops a running recording and waits for its close, so the target is a
    // complete WAVE image when the recorder is gone.
    ~TStockAudioRecorder() override;

    // Each returns True when the device was opened. A running recording is
    // stopped, and its close awaited, before the new one takes over.
    bool RecordToStream(TStream* AStream);
    // Records a new take into FileName; others may read it but not write it
    // while it is recorded. A file that another stream holds, or that cannot
    // be created, raises EFCreateError before anything else happens.
    bool RecordToFile(const std::string& FileName);
    // Records into Stock's stream for Index; raises
    // EWaveAudioInvalidOperation "Stock property is not assigned" without one.
    bool RecordToStock(int32_t Index);
    // Starts the close and returns at once (CloseDevice).
    bool Stop();

    // True starts a recording into Stock's item 0; False stops.
    void SetActive(bool Value) override;

protected:
    virtual bool StartRecording(TStream* Stream, TStreamOwnership Ownership);

    void DoWimOpen() override;
    void DoWimClose() override;
    void DoResume() override;
    void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt) override;
    // Completes the current adapter's image (EndRewrite) and frees it.
    bool FinishWave() override;

private:
    // The take file now recording and the sibling it is recorded into until
    // CommitTake renames it over the take; both empty when none.
    std::string fTakeFile, fPendingFile;
    bool fCommitFailed = false;
    bool fWriteFailing = false;  // the last write failed, and that was told
    void CommitTake();
    // Removes a pending file that never became the take (and holds nothing
    // the speaker recorded).
    void DiscardPendingTake();
};

}  // namespace orvant
