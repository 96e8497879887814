#include "platform/wavedev/InputReader.h"

#include <algorithm>
#include <chrono>

namespace orvant {

namespace {
constexpr uint64_t kMaxDrainUs = 4000000;  // longest wait of a stop for captured frames
}  // namespace

MMRESULT TInputReader::Start(const TDeviceLock& l) {
    if (MMRESULT r = fDev.stream->Start()) return r;
    fStarted = true;
    fDev.Wake(l);
    return MMSYSERR_NOERROR;
}

void TInputReader::Stop(const TDeviceLock& l) {
    Drain(l);
    if (fDev.failed) return;
    fReadFrames += fDev.stream->Delay();  // dropped below; still counted as captured
    fDev.stream->Drop();
    fStarted = false;
    WAVEHDR* head = fDev.queue.Head(l);
    if (head && head->dwBytesRecorded > 0) fDev.ReturnHeader(l, fDev.queue.PopHead(l));
}

void TInputReader::Reset(const TDeviceLock& l) {
    if (fStarted) {
        Drain(l);
        fDev.stream->Drop();
        fStarted = false;
    }
    fDev.ReturnAll(l);
    fReadFrames = 0;
}

bool TInputReader::Service(const TDeviceLock& l, bool& waitOnDevice) {
    waitOnDevice = false;
    if (!fStarted || fDev.queue.Empty(l)) return false;
    const bool progress = ReadAvailable(l);
    const bool waiting = !fDev.queue.Empty(l);
    waitOnDevice = !progress && waiting && !fDev.failed;
    if (fDraining && (progress || !waiting || fDev.failed)) fDev.cv.notify_all();
    if (fDraining && fReadFrames >= fDrainUntil) waitOnDevice = false;
    return progress;
}

uint64_t TInputReader::Position(const TDeviceLock&) const {
    if (!fDev.stream) return 0;
    return fReadFrames + (fStarted ? fDev.stream->Delay() : 0);
}

void TInputReader::Failed(const TDeviceLock& l, MMRESULT code) {
    fDev.Fail(l, code);
    fStarted = false;
}

// Fills the queued headers with what the device holds now. Returns true when
// frames were moved.
bool TInputReader::ReadAvailable(const TDeviceLock& l) {
    bool moved = false;
    while (WAVEHDR* h = fDev.queue.Head(l)) {
        if (fDev.failed) break;
        const uint32_t block = fDev.block;
        const uint32_t room = (h->dwBufferLength - h->dwBytesRecorded) / block;
        if (room == 0) {
            fDev.ReturnHeader(l, fDev.queue.PopHead(l));
            moved = true;
            continue;
        }
        // A period at a time: some devices (ALSA's file plugin reading its
        // input file) deliver the right data only in calls of up to their
        // own buffer's size.
        uint32_t ask = std::min(room, std::max<uint32_t>(1, fDev.stream->PeriodFrames()));
        if (fDraining) {
            if (fReadFrames >= fDrainUntil) break;
            ask = static_cast<uint32_t>(std::min<uint64_t>(ask, fDrainUntil - fReadFrames));
        }
        uint32_t got = 0;
        if (MMRESULT r = fDev.stream->Read(h->lpData + h->dwBytesRecorded, ask, got)) {
            Failed(l, r);
            return true;
        }
        if (got == 0) break;
        h->dwBytesRecorded += got * block;
        fReadFrames += got;
        moved = true;
        if (got == room)
            fDev.ReturnHeader(l, fDev.queue.PopHead(l));
        else if (got < ask)
            break;  // the device has no more now
    }
    return moved;
}

// Stopping capture: what the device captured before now is still on its way
// (a sound server delivers it a latency later). Reads it into the queued
// buffers, waiting for the I/O thread at most twice the device's delay plus
// one period, but nothing captured after now.
void TInputReader::Drain(const TDeviceLock& l) {
    if (!fStarted || fDev.failed) return;
    ReadAvailable(l);
    const uint64_t delay = fDev.stream->Delay();
    if (delay == 0 || fDev.queue.Empty(l) || fDev.failed) return;
    // A device that has stalled (and says so only by its delay) must not
    // hold the stop for long: a few seconds at the most.
    const uint64_t waitUs = std::min<uint64_t>(
        (2 * delay + fDev.stream->PeriodFrames()) * 1000000 / fDev.format.nSamplesPerSec, kMaxDrainUs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs);
    fDrainUntil = fReadFrames + delay;
    fDraining = true;
    fDev.Wake(l);  // the I/O thread reads on
    fDev.cv.wait_until(l.Guard(), deadline,
                       [&] { return fDev.failed || fDev.queue.Empty(l) || fReadFrames >= fDrainUntil; });
    fDraining = false;
}

}  // namespace orvant
