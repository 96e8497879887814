#include "platform/wavedev/OutputCursor.h"

namespace orvant {

namespace {
constexpr size_t kChunkRing = 1024;  // output chunks in flight at most
}  // namespace

void TOutputCursor::Init() { fChunks.resize(kChunkRing); }

void TOutputCursor::Clear(const TDeviceLock&) {
    MoveTo(nullptr);
    fLoop = TLoopState{};
    fOpenLoopTail = nullptr;
    fChunkHead = fChunkCount = 0;
    fWritten = 0;
}

void TOutputCursor::Queued(const TDeviceLock& l, WAVEHDR* h) {
    // The cursor has run out (or never started): go on with this header,
    // inside a loop still open if there is one.
    if (!fCur && fOpenLoopTail) {
        fOpenLoopTail = nullptr;
        MoveTo(h);
    } else if (!fCur) {
        EnterHeader(h);
    }
    WriteWhatFits(l);
}

bool TOutputCursor::Service(const TDeviceLock& l, bool& waitOnDevice) {
    bool progress = Retire(l);
    progress = WriteSome(l) || progress;
    progress = ResolveOpenLoop(l) || progress;
    waitOnDevice = !progress && !fDev.failed && !fPaused && (fChunkCount > 0 || fCur);
    return progress;
}

uint64_t TOutputCursor::Played(const TDeviceLock&) const {
    if (!fDev.stream) return 0;
    const uint64_t d = fDev.stream->Delay();
    return fWritten > d ? fWritten - d : 0;
}

void TOutputCursor::Pause(const TDeviceLock& l) {
    if (fPaused) return;
    fPaused = true;
    if (!fDev.failed) {
        if (fDev.stream->Pause(true))
            fHwPaused = true;
        else
            DropAndRewind(l);
    }
    fDev.Wake(l);
}

void TOutputCursor::Restart(const TDeviceLock& l) {
    if (!fPaused) return;
    if (fHwPaused) fDev.stream->Pause(false);
    fHwPaused = false;
    fPaused = false;
    WriteWhatFits(l);
    fDev.Wake(l);
}

void TOutputCursor::Reset(const TDeviceLock& l) {
    if (fHwPaused) {
        fDev.stream->Pause(false);
        fHwPaused = false;
    }
    if (!fDev.failed) fDev.stream->Drop();
    Clear(l);
    fDev.ReturnAll(l);
    // A paused device stays paused (it was paused in place or its frames
    // were dropped; either way nothing is pending now).
    if (fPaused && !fDev.failed) fHwPaused = fDev.stream->Pause(true);
    fDev.Wake(l);
}

void TOutputCursor::BreakLoop(const TDeviceLock& l) {
    // The writer may be passes ahead of what plays: if a loop is in what
    // the device holds, take those passes back first, so the loop ends with
    // the pass that is playing now.
    if (LoopInFlight() && !fDev.failed && !fHwPaused) DropAndRewind(l);
    if (!fLoop.begin) return;
    fLoop.breakAsked = true;
    WriteWhatFits(l);
    fDev.Wake(l);
}

// The cursor has written all of fCur: move on, looping where asked. Returns
// the header up to which everything is now written for good, or nullptr
// while a loop still repeats it.
WAVEHDR* TOutputCursor::LeaveHeader() {
    WAVEHDR* h = fCur;
    if (fLoop.begin) {
        if (!(h->dwFlags & WHDR_ENDLOOP)) {
            // Inside the loop. Where the queue ends before the loop's end
            // has come, the next header queued goes on with it; if none
            // comes before the device has played everything, this header
            // ends the loop (ResolveOpenLoop).
            if (!h->lpNext) fOpenLoopTail = h;
            MoveTo(h->lpNext);
            return nullptr;
        }
        if (fLoop.NextPass()) {
            MoveTo(fLoop.begin);
            return nullptr;
        }
    }
    EnterHeader(h->lpNext);
    return h;
}

TOutputCursor::TChunk& TOutputCursor::PushChunk() {
    TChunk& c = ChunkAt(fChunkCount);
    ++fChunkCount;
    return c;
}

// Writes what the backend takes now. Returns true when anything moved.
bool TOutputCursor::WriteSome(const TDeviceLock& l) {
    if (fPaused || !fCur || fChunkCount == fChunks.size()) return false;
    const uint32_t block = fDev.block;
    const uint32_t totalFrames = fCur->dwBufferLength / block;
    const uint32_t atFrame = fCurOffset / block;
    const TChunk save{fCur, fCurOffset, 0, fWritten, fLoop.begin, fLoop.passesLeft, nullptr};
    if (atFrame >= totalFrames) {
        // Nothing (more) to write from this header.
        TChunk& c = PushChunk();
        c = save;
        c.retireUpTo = LeaveHeader();
        return true;
    }
    uint32_t n = totalFrames - atFrame;
    const uint8_t* src = fVolume.Apply(l, reinterpret_cast<const uint8_t*>(fCur->lpData) + fCurOffset, n);
    uint32_t done = 0;
    if (MMRESULT r = fDev.stream->Write(src, n, done)) {
        fDev.Fail(l, r);
        Clear(l);
        return true;
    }
    if (done == 0) return false;
    fWritten += done;
    fCurOffset += done * block;
    TChunk& c = PushChunk();
    c = save;
    c.frames = done;
    c.endFrame = fWritten;
    if (atFrame + done >= totalFrames) c.retireUpTo = LeaveHeader();
    return true;
}

void TOutputCursor::WriteWhatFits(const TDeviceLock& l) {
    while (WriteSome(l)) {
    }
}

// A loop left open at the end of the queue, with everything played: it ends
// at its last header, after its remaining passes.
bool TOutputCursor::ResolveOpenLoop(const TDeviceLock& l) {
    if (!fOpenLoopTail || fChunkCount > 0 || fCur) return false;
    WAVEHDR* last = fOpenLoopTail;
    fOpenLoopTail = nullptr;
    if (fLoop.NextPass())
        MoveTo(fLoop.begin);
    else
        fDev.ReturnUpTo(l, last);
    return true;
}

// Returns the headers whose frames have all been played.
bool TOutputCursor::Retire(const TDeviceLock& l) {
    if (fChunkCount == 0) return false;
    const uint64_t played = Played(l);
    bool any = false;
    while (fChunkCount > 0) {
        const TChunk& c = ChunkAt(0);
        if (c.endFrame > played) break;
        if (c.retireUpTo) fDev.ReturnUpTo(l, c.retireUpTo);
        fChunkHead = (fChunkHead + 1) % fChunks.size();
        --fChunkCount;
        any = true;
    }
    return any;
}

// Takes back what the backend holds and has not played, so it is written
// again from the first unplayed frame.
void TOutputCursor::DropAndRewind(const TDeviceLock& l) {
    const uint64_t played = Played(l);
    fDev.stream->Drop();
    Rewind(played);
}

// After the device dropped what it had not played: the write cursor goes
// back to the first unplayed frame, with the loop state it had there.
void TOutputCursor::Rewind(uint64_t played) {
    while (fChunkCount > 0) {
        TChunk& c = ChunkAt(fChunkCount - 1);
        const uint64_t start = c.endFrame - c.frames;
        if (c.endFrame <= played) break;
        fOpenLoopTail = nullptr;
        fCur = c.hdr;
        // A break asked for stays asked.
        fLoop.begin = c.loopBegin;
        fLoop.passesLeft = c.loopPassesLeft;
        if (start >= played) {
            fCurOffset = c.offset;
            --fChunkCount;
            continue;
        }
        const uint32_t keep = static_cast<uint32_t>(played - start);
        fCurOffset = c.offset + keep * fDev.block;
        c.frames = keep;
        c.endFrame = played;
        c.retireUpTo = nullptr;
        break;
    }
    fWritten = played;
}

bool TOutputCursor::LoopInFlight() const {
    for (size_t i = 0; i < fChunkCount; ++i)
        if (ChunkAt(i).loopBegin) return true;
    return false;
}

}  // namespace orvant
