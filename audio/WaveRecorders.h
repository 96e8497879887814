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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/StockWaveDevice.h"
#include "audio/WaveIn.h"
#include "wave/SpeechDetector.h"
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

// Records takes without keys. The input stays open while it listens (one
// capture for many takes: some devices need time after opening, and their
// gain jumps when reopened). Armed with a take file, it waits for speech
// (TSpeechDetector); the take begins kPreRollMs before the first sound,
// from a ring of the latest input, and ends kPostRollMs after the last one
// once the speaker has been silent for the allowance, or at
// kLongestTakeMs. A take is written as the stock recorder writes one: into
// the hidden sibling, 16-bit PCM in the recorder's format with the header
// current after every buffer, and renamed over the take file once it holds
// its first speech; the file being replaced is kept until then. After a
// take the recorder is disarmed until armed again.
//
// The format must be 16-bit PCM. Arm, Disarm and the events run on the
// thread that handles the device's messages (the owner's, with Async
// false); the events are called from the device's message handlers.
class THandsFreeRecorder : public TWaveAudioIn {
public:
    enum TTakeEnd { teSilence, teLimit, teStopped };
    static constexpr uint32_t kPreRollMs = 300, kPostRollMs = 300, kLongestTakeMs = 60000;

    explicit THandsFreeRecorder(TComponent* AOwner = nullptr);
    // Closes the device; a take in progress is ended as by Disarm.
    ~THandsFreeRecorder() override;

    // Opens the device and listens; True when it opened. Raises as the
    // device's open does (a refused format, no sound system).
    bool Listen();
    // Starts the close; a take in progress ends with it (teStopped).
    void Stop();
    // Waits for speech to record into FileName, allowing pauses of
    // silenceMs. Raises EFCreateError when the file cannot be created
    // (another stream holds it); a take in progress ends first.
    void Arm(const std::string& FileName, uint32_t silenceMs);
    // Waits no longer; a take in progress ends and is kept (teStopped).
    void Disarm();
    bool Armed() const { return !fTarget.empty(); }
    bool Recording() const { return fTake != nullptr; }
    // The time the take in progress holds, pre-roll included.
    uint32_t TakeMs() const;
    // Frames of input heard since Listen.
    uint64_t FramesHeard() const { return fRingFrames; }

    // Speech began: the take in FileName replaces the one before.
    std::function<void(THandsFreeRecorder* Sender, const std::string& FileName)> OnTakeBegin;
    // The take is complete.
    std::function<void(THandsFreeRecorder* Sender, const std::string& FileName, TTakeEnd How)> OnTakeEnd;

protected:
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt) override;
    void DoWimClose() override;

private:
    void BeginTake();
    // Appends the ring's frames up to frame (a stream position) to the take.
    void WriteUpTo(uint64_t frame);
    // Writes what the take keeps and completes it.
    void EndTake(TTakeEnd How);
    uint64_t KeepUntil() const;

    uint32_t fRate = 0;
    uint16_t fChannels = 0;
    std::unique_ptr<TSpeechDetector> fDetector;
    std::vector<int16_t> fRing;  // the latest input, a frame a channels samples
    uint64_t fRingFrames = 0;    // frames, and so the ring's stream position
    uint64_t fWritten = 0;       // stream position the take holds up to
    uint64_t fTakeBegin = 0;
    std::unique_ptr<TWaveStreamAdapter> fTake;
    std::string fTarget, fTakeFile, fPendingFile;
    bool fWriteFailing = false;
};

}  // namespace orvant
