// The output side of a device: the write cursor over the queued headers,
// loops, pause, and the ring of chunks written to the backend and not yet
// played.
//
// Output headers come back (MM_WOM_DONE) only when their frames have been
// played, not merely handed to the backend: every write is recorded in a
// fixed ring of chunks, and a header is retired once the backend's played
// count (written minus delay) has passed its last chunk. The same record lets
// a device that cannot pause in place drop what it holds and write it again
// on restart, and lets a loop break end with the pass that is playing.
//
// Every call takes the device's lock, held (TDeviceLock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/wavedev/DeviceCore.h"
#include "platform/wavedev/SoftVolume.h"

namespace orvant {

// The loop the cursor is in: from a WHDR_BEGINLOOP header to the next
// WHDR_ENDLOOP header, dwLoops passes (at least one).
struct TLoopState {
    WAVEHDR* begin = nullptr;  // nullptr: not in a loop
    DWORD passesLeft = 0;      // this pass included
    bool breakAsked = false;   // waveOutBreakLoop: this pass is the last

    // The cursor enters h: a loop begins there if h begins one and no loop
    // is running.
    void Enter(WAVEHDR* h) {
        if (h && !begin && (h->dwFlags & WHDR_BEGINLOOP)) {
            begin = h;
            passesLeft = h->dwLoops ? h->dwLoops : 1;
        }
    }
    // The loop's last header has been written (or, for a loop left open,
    // played). True when another pass follows (counted off); otherwise the
    // loop is over and cleared.
    bool NextPass() {
        if (passesLeft > 1 && !breakAsked) {
            --passesLeft;
            return true;
        }
        *this = TLoopState{};
        return false;
    }
};

class TOutputCursor {
public:
    // The parts of the device it works with; both outlive the cursor.
    TOutputCursor(TDeviceCore& device, TSoftVolume& volume) : fDev(device), fVolume(volume) {}

    // Makes the chunk ring (Open, before the I/O thread starts).
    void Init();

    // After `h` was appended to the queue: the cursor goes on with it if it
    // had run out, and the backend is given what it takes now, so the frames
    // are queued there when waveOutWrite returns.
    void Queued(const TDeviceLock& l, WAVEHDR* h);

    // One round of the I/O thread: retire what has played, write what fits,
    // end a loop left open. Returns true when anything moved; `waitOnDevice`
    // tells whether the thread should sleep in the backend (frames still
    // playing) rather than on the device's condition.
    bool Service(const TDeviceLock& l, bool& waitOnDevice);

    // Frames played since open or reset (written minus the backend's delay).
    uint64_t Played(const TDeviceLock& l) const;

    void Pause(const TDeviceLock& l);
    void Restart(const TDeviceLock& l);
    // Drops everything (the backend's frames and the cursor's record) and
    // returns every header; a paused device stays paused.
    void Reset(const TDeviceLock& l);
    void BreakLoop(const TDeviceLock& l);

    // The stream failed (the device returns the headers): start afresh.
    void Clear(const TDeviceLock& l);

private:
    struct TChunk {
        WAVEHDR* hdr;         // header the frames came from
        uint32_t offset;      // byte offset of the first frame in it
        uint32_t frames;
        uint64_t endFrame;    // written count after this chunk
        WAVEHDR* loopBegin;   // the loop before the chunk was written
        DWORD loopPassesLeft;
        WAVEHDR* retireUpTo;  // once played, headers up to this one are done
    };

    bool WriteSome(const TDeviceLock& l);
    void WriteWhatFits(const TDeviceLock& l);
    void MoveTo(WAVEHDR* h) {
        fCur = h;
        fCurOffset = 0;
    }
    void EnterHeader(WAVEHDR* h) {
        MoveTo(h);
        fLoop.Enter(h);
    }
    WAVEHDR* LeaveHeader();
    bool ResolveOpenLoop(const TDeviceLock& l);
    bool Retire(const TDeviceLock& l);
    void DropAndRewind(const TDeviceLock& l);
    void Rewind(uint64_t played);
    bool LoopInFlight() const;
    TChunk& PushChunk();
    TChunk& ChunkAt(size_t i) { return fChunks[(fChunkHead + i) % fChunks.size()]; }
    const TChunk& ChunkAt(size_t i) const { return fChunks[(fChunkHead + i) % fChunks.size()]; }

    TDeviceCore& fDev;
    TSoftVolume& fVolume;

    bool fPaused = false;    // waveOutPause, until waveOutRestart
    bool fHwPaused = false;  // paused in place by the backend
    WAVEHDR* fCur = nullptr;  // header being written
    uint32_t fCurOffset = 0;  // bytes of it written
    TLoopState fLoop;
    // Last header of a loop whose end has not been queued yet: the next
    // header queued goes on with the loop.
    WAVEHDR* fOpenLoopTail = nullptr;
    uint64_t fWritten = 0;  // frames written since open or reset
    std::vector<TChunk> fChunks;
    size_t fChunkHead = 0, fChunkCount = 0;
};

}  // namespace orvant
