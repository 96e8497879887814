// The waveIn/waveOut services over a passive backend.
//
// Each open device has a lock, a queue of headers (linked through lpNext, so
// queueing allocates nothing) and an I/O thread that moves frames between the
// queued headers and the backend stream and posts the device messages. Every
// message is posted under the device's lock, so messages leave in the order
// the device produced them: open first, close last.
//
// Output headers come back (MM_WOM_DONE) only when their frames have been
// played, not merely handed to the backend: the I/O thread records what it
// wrote in a fixed ring of chunks and retires a header once the backend's
// played count (written minus delay) has passed its last chunk. The same
// record lets a device that cannot pause in place drop what it holds and
// write it again on restart.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/WaveDevInternal.h"

namespace orvant {

namespace {

constexpr UINT kMinHeaderSize = 32;
constexpr uint32_t kWaitMs = 200;          // longest sleep in the backend before looking again
constexpr size_t kChunkRing = 1024;        // output chunks in flight at most
constexpr uint32_t kScratchFrames = 4096;  // frames per write when the volume is applied
constexpr uint64_t kMaxDrainUs = 4000000;  // longest wait of a stop for captured frames

struct TChunk {
    WAVEHDR* hdr;           // header the frames came from
    uint32_t offset;        // byte offset of the first frame in it
    uint32_t frames;
    uint64_t endFrame;      // written count after this chunk
    WAVEHDR* loopBegin;     // loop state before the chunk was written
    DWORD loopsLeft;
    WAVEHDR* retireUpTo;    // once played, headers up to this one are done
};

struct TDevice {
    TWaveDirection dir;
    UINT deviceId;
    WAVEFORMATEX format{};
    uint32_t block = 1;
    std::shared_ptr<TWaveBackend> backend;
    std::unique_ptr<TWaveBackendStream> stream;
    TCallbackTarget* target = nullptr;

    std::mutex lock;
    std::condition_variable cv;
    std::thread io;
    bool quit = false;
    bool closing = false;
    bool failed = false;
    MMRESULT failCode = MMSYSERR_NOERROR;

    WAVEHDR* head = nullptr;  // queue: head .. tail through lpNext
    WAVEHDR* tail = nullptr;

    // input
    bool started = false;
    uint64_t readFrames = 0;
    uint64_t drainUntil = 0;  // while stopping: read up to this count, no further
    bool draining = false;

    // output
    bool paused = false;
    bool hwPaused = false;
    WAVEHDR* cur = nullptr;  // header being written
    uint32_t curOffset = 0;
    WAVEHDR* loopBegin = nullptr;
    DWORD loopsLeft = 0;
    bool breakLoop = false;
    WAVEHDR* openLoopTail = nullptr;  // last header of a loop whose end has not come yet
    uint64_t written = 0;  // frames written since open or reset
    std::vector<TChunk> chunks;
    size_t chunkHead = 0, chunkCount = 0;
    DWORD volume = 0xFFFFFFFFu;
    std::vector<uint8_t> scratch;

    DWORD_PTR Handle() const { return reinterpret_cast<DWORD_PTR>(this); }

    void Post(UINT msg, DWORD_PTR param) {
        if (target) target->Post(msg, Handle(), param);
    }
    void Wake() {
        cv.notify_all();
        if (stream) stream->Interrupt();
    }

    // --- queue
    void Append(WAVEHDR* h) {
        h->lpNext = nullptr;
        if (tail)
            tail->lpNext = h;
        else
            head = h;
        tail = h;
    }
    WAVEHDR* PopHead() {
        WAVEHDR* h = head;
        if (!h) return nullptr;
        head = h->lpNext;
        if (!head) tail = nullptr;
        h->lpNext = nullptr;
        return h;
    }
    void ReturnHeader(WAVEHDR* h) {
        // A caller without a callback polls WHDR_DONE: the flags are
        // published after everything else in the header and its block.
        std::atomic_ref<DWORD>(h->dwFlags).store((h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
        Post(dir == TWaveDirection::wdInput ? MM_WIM_DATA : MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(h));
    }
    void ReturnAll() {
        while (WAVEHDR* h = PopHead()) ReturnHeader(h);
    }

    // The stream failed: give every buffer back so nobody waits for it.
    void Fail(MMRESULT code) {
        SetWaveStreamFailed(code);
        failed = true;
        failCode = code;
        started = false;
        ClearOutputState();
        ReturnAll();
    }

    uint64_t PositionFrames() {
        if (!stream) return 0;
        if (dir == TWaveDirection::wdInput) return readFrames + (started ? stream->Delay() : 0);
        uint64_t d = stream->Delay();
        return written > d ? written - d : 0;
    }

    // --- input
    // Fills the queued headers with what the device holds now. Returns true
    // when frames were moved.
    bool ReadAvailable() {
        bool moved = false;
        while (head && !failed) {
            WAVEHDR* h = head;
            uint32_t room = (h->dwBufferLength - h->dwBytesRecorded) / block;
            if (room == 0) {
                PopHead();
                ReturnHeader(h);
                moved = true;
                continue;
            }
            // A period at a time: some devices (ALSA's file plugin reading
            // its input file) deliver the right data only in calls of up to
            // their own buffer's size.
            uint32_t ask = std::min(room, std::max<uint32_t>(1, stream->PeriodFrames()));
            if (draining) {
                if (readFrames >= drainUntil) break;
                ask = static_cast<uint32_t>(std::min<uint64_t>(ask, drainUntil - readFrames));
            }
            uint32_t got = 0;
            MMRESULT r = stream->Read(h->lpData + h->dwBytesRecorded, ask, got);
            if (r != MMSYSERR_NOERROR) {
                Fail(r);
                return true;
            }
            if (got == 0) break;
            h->dwBytesRecorded += got * block;
            readFrames += got;
            moved = true;
            if (got == room) {
                PopHead();
                ReturnHeader(h);
            } else if (got < ask) {
                break;  // the device has no more now
            }
        }
        return moved;
    }

    // Stopping capture: what the device captured before now is still on its
    // way (a sound server delivers it a latency later). Reads it into the
    // queued buffers, waiting at most twice the device's delay plus one
    // period, but nothing captured after now. The caller holds `g`.
    void DrainInput(std::unique_lock<std::mutex>& g) {
        if (!started || failed) return;
        ReadAvailable();
        const uint64_t delay = stream->Delay();
        if (delay == 0 || !head || failed) return;
        // A device that has stalled (and says so only by its delay) must
        // not hold the stop for long: a few seconds at the most.
        const uint64_t waitUs = std::min<uint64_t>(
            (2 * delay + stream->PeriodFrames()) * 1000000 / format.nSamplesPerSec, kMaxDrainUs);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs);
        drainUntil = readFrames + delay;
        draining = true;
        Wake();  // the I/O thread reads on
        cv.wait_until(g, deadline, [&] { return failed || !head || readFrames >= drainUntil; });
        draining = false;
    }

    // --- output
    void ClearOutputState() {
        cur = nullptr;
        curOffset = 0;
        loopBegin = nullptr;
        loopsLeft = 0;
        breakLoop = false;
        openLoopTail = nullptr;
        chunkHead = chunkCount = 0;
        written = 0;
    }

    void EnterHeader(WAVEHDR* h) {
        cur = h;
        curOffset = 0;
        if (h && !loopBegin && (h->dwFlags & WHDR_BEGINLOOP)) {
            loopBegin = h;
            loopsLeft = h->dwLoops ? h->dwLoops : 1;
        }
    }

    // The cursor has written all of `cur`: move on, looping where asked.
    // Returns the header up to which everything is now written for good, or
    // nullptr while a loop still repeats it.
    WAVEHDR* LeaveHeader() {
        WAVEHDR* h = cur;
        if (loopBegin) {
            if (!(h->dwFlags & WHDR_ENDLOOP)) {
                // Inside the loop. Where the queue ends before the loop's
                // end has come, the next header queued goes on with it; if
                // none comes before the device has played everything, this
                // header ends the loop (ResolveOpenLoop).
                if (h->lpNext) {
                    cur = h->lpNext;
                    curOffset = 0;
                } else {
                    openLoopTail = h;
                    cur = nullptr;
                    curOffset = 0;
                }
                return nullptr;
            }
            if (loopsLeft > 1 && !breakLoop) {
                --loopsLeft;
                cur = loopBegin;
                curOffset = 0;
                return nullptr;
            }
            loopBegin = nullptr;
            loopsLeft = 0;
            breakLoop = false;
        }
        EnterHeader(h->lpNext);
        return h;
    }

    TChunk& PushChunk() {
        TChunk& c = chunks[(chunkHead + chunkCount) % chunks.size()];
        ++chunkCount;
        return c;
    }

    // Writes what the backend takes now. Returns true when anything moved.
    bool WriteSome() {
        if (paused || !cur || chunkCount == chunks.size()) return false;
        const uint32_t totalFrames = cur->dwBufferLength / block;
        const uint32_t atFrame = curOffset / block;
        TChunk save{cur, curOffset, 0, written, loopBegin, loopsLeft, nullptr};
        if (atFrame >= totalFrames) {
            // Nothing (more) to write from this header.
            TChunk& c = PushChunk();
            c = save;
            c.retireUpTo = LeaveHeader();
            return true;
        }
        uint32_t n = totalFrames - atFrame;
        const uint8_t* src = reinterpret_cast<const uint8_t*>(cur->lpData) + curOffset;
        if (volume != 0xFFFFFFFFu && VolumeApplies()) {
            n = std::min(n, kScratchFrames);
            ApplyVolume(src, n);
            src = scratch.data();
        }
        uint32_t done = 0;
        MMRESULT r = stream->Write(src, n, done);
        if (r != MMSYSERR_NOERROR) {
            Fail(r);
            return true;
        }
        if (done == 0) return false;
        written += done;
        curOffset += done * block;
        TChunk& c = PushChunk();
        c = save;
        c.frames = done;
        c.endFrame = written;
        if (atFrame + done >= totalFrames) c.retireUpTo = LeaveHeader();
        return true;
    }

    // A loop left open at the end of the queue, with everything played: it
    // ends at its last header, after its remaining passes.
    bool ResolveOpenLoop() {
        if (!openLoopTail || chunkCount > 0 || cur) return false;
        WAVEHDR* last = openLoopTail;
        openLoopTail = nullptr;
        if (loopsLeft > 1 && !breakLoop) {
            --loopsLeft;
            cur = loopBegin;
            curOffset = 0;
            return true;
        }
        loopBegin = nullptr;
        loopsLeft = 0;
        breakLoop = false;
        while (WAVEHDR* h = PopHead()) {
            ReturnHeader(h);
            if (h == last) break;
        }
        return true;
    }

    // Returns the headers whose frames have all been played.
    bool Retire() {
        if (chunkCount == 0) return false;
        const uint64_t played = PositionFrames();
        bool any = false;
        while (chunkCount > 0) {
            TChunk& c = chunks[chunkHead];
            if (c.endFrame > played) break;
            if (WAVEHDR* last = c.retireUpTo) {
                while (WAVEHDR* h = PopHead()) {
                    ReturnHeader(h);
                    if (h == last) break;
                }
            }
            chunkHead = (chunkHead + 1) % chunks.size();
            --chunkCount;
            any = true;
        }
        return any;
    }

    // After the device dropped what it had not played: the write cursor goes
    // back to the first unplayed frame.
    void Rewind(uint64_t played) {
        while (chunkCount > 0) {
            TChunk& c = chunks[(chunkHead + chunkCount - 1) % chunks.size()];
            const uint64_t start = c.endFrame - c.frames;
            if (c.endFrame <= played) break;
            openLoopTail = nullptr;
            cur = c.hdr;
            loopBegin = c.loopBegin;
            loopsLeft = c.loopsLeft;
            if (start >= played) {
                curOffset = c.offset;
                --chunkCount;
                continue;
            }
            const uint32_t keep = static_cast<uint32_t>(played - start);
            curOffset = c.offset + keep * block;
            c.frames = keep;
            c.endFrame = played;
            c.retireUpTo = nullptr;
            break;
        }
        written = played;
    }

    bool VolumeApplies() const {
        return (format.wFormatTag == WAVE_FORMAT_PCM && (format.wBitsPerSample == 8 || format.wBitsPerSample == 16)) ||
               (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 32);
    }

    void ApplyVolume(const uint8_t* src, uint32_t frames) {
        const uint32_t left = volume & 0xFFFF, right = volume >> 16;
        const int ch = format.nChannels;
        const size_t bytes = static_cast<size_t>(frames) * block;
        std::memcpy(scratch.data(), src, bytes);
        auto gainOf = [&](int c) { return c == 1 ? right : (c == 0 ? left : (left + right) / 2); };
        if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
            auto* s = reinterpret_cast<float*>(scratch.data());
            for (uint32_t f = 0; f < frames; ++f)
                for (int c = 0; c < ch; ++c) s[f * ch + c] *= static_cast<float>(gainOf(c)) / 65535.0f;
        } else if (format.wBitsPerSample == 16) {
            auto* s = reinterpret_cast<int16_t*>(scratch.data());
            for (uint32_t f = 0; f < frames; ++f)
                for (int c = 0; c < ch; ++c) {
                    int16_t v;
                    std::memcpy(&v, &s[f * ch + c], 2);
                    v = static_cast<int16_t>(static_cast<int64_t>(v) * gainOf(c) / 65535);
                    std::memcpy(&s[f * ch + c], &v, 2);
                }
        } else {
            uint8_t* s = scratch.data();
            for (uint32_t f = 0; f < frames; ++f)
                for (int c = 0; c < ch; ++c) {
                    const int v = static_cast<int>(s[f * ch + c]) - 128;
                    s[f * ch + c] = static_cast<uint8_t>(128 + v * static_cast<int64_t>(gainOf(c)) / 65535);
                }
        }
    }

    // --- the I/O thread
    void Run() {
        std::unique_lock<std::mutex> g(lock);
        while (!quit) {
            bool progress = false;
            bool waitOnDevice = false;
            if (!failed) {
                if (dir == TWaveDirection::wdInput) {
                    if (started && head) {
                        progress = ReadAvailable();
                        waitOnDevice = !progress && head && !failed;
                        if (draining && (progress || !head || failed)) cv.notify_all();
                        if (draining && readFrames >= drainUntil) waitOnDevice = false;
                    }
                } else {
                    progress = Retire();
                    progress = WriteSome() || progress;
                    progress = ResolveOpenLoop() || progress;
                    waitOnDevice = !progress && !failed && !paused && (chunkCount > 0 || cur);
                }
            }
            if (progress) continue;
            if (waitOnDevice) {
                TWaveBackendStream* s = stream.get();
                g.unlock();
                s->Wait(kWaitMs);
                g.lock();
            } else {
                cv.wait(g);
            }
        }
    }
};

std::mutex gDevicesLock;
std::unordered_map<DWORD_PTR, std::shared_ptr<TDevice>>& Devices() {
    static auto* m = new std::unordered_map<DWORD_PTR, std::shared_ptr<TDevice>>;
    return *m;
}

std::mutex gBackendLock;
std::shared_ptr<TWaveBackend>& BackendSlot() {
    static auto* b = new std::shared_ptr<TWaveBackend>;
    return *b;
}

std::shared_ptr<TDevice> Find(DWORD_PTR handle, TWaveDirection dir) {
    std::lock_guard<std::mutex> g(gDevicesLock);
    auto it = Devices().find(handle);
    if (it == Devices().end() || it->second->dir != dir) return nullptr;
    return it->second;
}

// A usable PCM or float format whose derived fields agree.
bool FormatIsSound(const WAVEFORMATEX& f) {
    const bool pcm = f.wFormatTag == WAVE_FORMAT_PCM &&
                     (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 || f.wBitsPerSample == 32);
    const bool flt = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && f.wBitsPerSample == 32;
    if (!pcm && !flt) return false;
    if (f.nChannels < 1 || f.nChannels > 8) return false;
    if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 384000) return false;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
    return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

// uDeviceID of the capability calls may be an open device's handle.
UINT ResolveDeviceId(UINT_PTR id, TWaveDirection dir) {
    if (id == static_cast<UINT_PTR>(-1)) return WAVE_MAPPER;  // the mapper, widened
    if (id > 0xFFFFFFFFu) {
        if (auto d = Find(id, dir)) return d->deviceId;
        return WAVE_MAPPER - 1;  // certainly out of range
    }
    return static_cast<UINT>(id);
}

MMRESULT CheckId(TWaveBackend& b, TWaveDirection dir, UINT id) {
    if (id == WAVE_MAPPER) return b.NumDevs(dir) > 0 ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    return id < b.NumDevs(dir) ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

MMRESULT Open(TWaveDirection dir, DWORD_PTR* ph, UINT id, const WAVEFORMATEX* pwfx, DWORD_PTR callback, DWORD flags) {
    if (!pwfx) return MMSYSERR_INVALPARAM;
    WAVEFORMATEX fmt;
    std::memcpy(&fmt, pwfx, sizeof fmt);
    fmt.cbSize = 0;
    auto backend = ActiveWaveBackend();
    if (!backend) return MMSYSERR_NODRIVER;
    if (MMRESULT r = CheckId(*backend, dir, id)) return r;
    if (!FormatIsSound(fmt)) return WAVERR_BADFORMAT;
    ClearWaveErrorDetail();
    if (flags & WAVE_FORMAT_QUERY) return backend->QueryFormat(dir, id, fmt);
    if (!ph) return MMSYSERR_INVALPARAM;
    *ph = 0;
    TCallbackTarget* target = nullptr;
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
        break;
    case CALLBACK_WINDOW:
    case CALLBACK_THREAD: {
        target = TCallbackTarget::FromHandle(callback);
        if (!target) return MMSYSERR_INVALPARAM;
        // Window handles go with CALLBACK_WINDOW, threads with CALLBACK_THREAD.
        if (target->IsThread() != ((flags & CALLBACK_TYPEMASK) == CALLBACK_THREAD)) return MMSYSERR_INVALPARAM;
        break;
    }
    default:
        return MMSYSERR_INVALFLAG;
    }

    auto dev = std::make_shared<TDevice>();
    dev->dir = dir;
    dev->deviceId = id;
    dev->format = fmt;
    dev->block = fmt.nBlockAlign;
    dev->backend = backend;
    if (MMRESULT r = backend->Open(dir, id, fmt, dev->stream)) return r;
    if (!dev->stream) return MMSYSERR_ERROR;
    if (dir == TWaveDirection::wdOutput) {
        dev->chunks.resize(kChunkRing);
        dev->scratch.resize(static_cast<size_t>(kScratchFrames) * dev->block);
    }
    if (target) {
        target->AddRef();
        dev->target = target;
    }
    {
        std::lock_guard<std::mutex> g(gDevicesLock);
        Devices()[dev->Handle()] = dev;
    }
    {
        std::lock_guard<std::mutex> g(dev->lock);
        dev->Post(dir == TWaveDirection::wdInput ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
    }
    TDevice* raw = dev.get();
    dev->io = std::thread([raw] { raw->Run(); });
    *ph = dev->Handle();
    return MMSYSERR_NOERROR;
}

MMRESULT Close(DWORD_PTR handle, TWaveDirection dir) {
    auto dev = Find(handle, dir);
    if (!dev) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (dev->closing) return MMSYSERR_INVALHANDLE;
        if (dev->head) return WAVERR_STILLPLAYING;
        dev->closing = true;
        dev->quit = true;
        dev->Wake();
    }
    if (dev->io.get_id() != std::this_thread::get_id()) dev->io.join();
    {
        std::lock_guard<std::mutex> g(dev->lock);
        dev->stream.reset();
        dev->Post(dir == TWaveDirection::wdInput ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
    }
    {
        std::lock_guard<std::mutex> g(gDevicesLock);
        Devices().erase(handle);
    }
    if (dev->target) {
        dev->target->Release();
        dev->target = nullptr;
    }
    return MMSYSERR_NOERROR;
}

// Looks the device up and locks it; `r` holds the result when it is not usable.
struct TLocked {
    std::shared_ptr<TDevice> dev;
    std::unique_lock<std::mutex> guard;
    MMRESULT r = MMSYSERR_NOERROR;
    TLocked(DWORD_PTR handle, TWaveDirection dir) : dev(Find(handle, dir)) {
        if (!dev) {
            r = MMSYSERR_INVALHANDLE;
            return;
        }
        guard = std::unique_lock<std::mutex>(dev->lock);
        if (dev->closing) r = MMSYSERR_INVALHANDLE;
    }
    TDevice* operator->() { return dev.get(); }
};

MMRESULT Prepare(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLocked d(handle, dir);
    if (d.r) return d.r;
    if (!h || cb < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (h->dwFlags & WHDR_PREPARED) return MMSYSERR_NOERROR;
    if (MMRESULT r = d->stream->PrepareHeader(*h)) return r;
    h->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLocked d(handle, dir);
    if (d.r) return d.r;
    if (!h || cb < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    h->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLocked d(handle, dir);
    if (d.r) return d.r;
    if (!h || cb < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (dir == TWaveDirection::wdInput && (!h->lpData || h->dwBufferLength == 0)) return MMSYSERR_INVALPARAM;
    if (!h->lpData && h->dwBufferLength != 0) return MMSYSERR_INVALPARAM;
    if (d->failed) return d->failCode;
    if (MMRESULT r = d->stream->SubmitHeader(*h)) return r;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (dir == TWaveDirection::wdInput) h->dwBytesRecorded = 0;
    d->Append(h);
    if (dir == TWaveDirection::wdOutput) {
        // The cursor has run out (or never started): go on with this header,
        // inside a loop still open if there is one.
        if (!d->cur && d->openLoopTail) {
            d->openLoopTail = nullptr;
            d->cur = h;
            d->curOffset = 0;
        } else if (!d->cur) {
            d->EnterHeader(h);
        }
        // Hand the device what it takes now, so the frames are queued there
        // when this call returns; the I/O thread does the rest.
        while (d->WriteSome()) {
        }
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT Position(DWORD_PTR handle, TWaveDirection dir, MMTIME* t, UINT cb) {
    TLocked d(handle, dir);
    if (d.r) return d.r;
    if (!t || cb < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    const uint64_t frames = d->PositionFrames();
    const uint32_t rate = d->format.nSamplesPerSec;
    switch (t->wType) {
    case TIME_MS:
        t->u.ms = static_cast<DWORD>(frames * 1000 / rate);
        break;
    case TIME_SAMPLES:
        t->u.sample = static_cast<DWORD>(frames);
        break;
    case TIME_SMPTE: {
        const uint64_t secs = frames / rate;
        t->u.smpte.hour = static_cast<BYTE>(secs / 3600 % 24);
        t->u.smpte.min = static_cast<BYTE>(secs / 60 % 60);
        t->u.smpte.sec = static_cast<BYTE>(secs % 60);
        t->u.smpte.fps = 30;
        t->u.smpte.frame = static_cast<BYTE>(frames % rate * 30 / rate);
        t->u.smpte.dummy = 0;
        t->u.smpte.pad[0] = t->u.smpte.pad[1] = 0;
        break;
    }
    default:  // what the device does not count in, it answers in bytes
        t->wType = TIME_BYTES;
        t->u.cb = static_cast<DWORD>(frames * d->block);
        break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT GetId(DWORD_PTR handle, TWaveDirection dir, UINT* id) {
    TLocked d(handle, dir);
    if (d.r) return d.r;
    if (!id) return MMSYSERR_INVALPARAM;
    *id = d->deviceId;
    return MMSYSERR_NOERROR;
}

template <class Caps>
MMRESULT GetCaps(TWaveDirection dir, UINT_PTR uid, Caps* out, UINT cb) {
    if (!out || cb == 0) return MMSYSERR_INVALPARAM;
    auto backend = ActiveWaveBackend();
    if (!backend) return MMSYSERR_NODRIVER;
    const UINT id = ResolveDeviceId(uid, dir);
    if (MMRESULT r = CheckId(*backend, dir, id)) return r;
    TWaveDeviceInfo info;
    if (MMRESULT r = backend->DeviceInfo(dir, id, info)) return r;
    Caps caps{};
    caps.wMid = 0xFFFF;  // no manufacturer registry here
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    CopyText(info.name, caps.szPname, MAXPNAMELEN);
    caps.dwFormats = info.formats;
    caps.wChannels = info.channels;
    if constexpr (std::is_same_v<Caps, WAVEOUTCAPSW>) caps.dwSupport = info.support;
    std::memcpy(out, &caps, std::min<size_t>(cb, sizeof caps));
    return MMSYSERR_NOERROR;
}

}  // namespace

// ---------------------------------------------------------------------------

std::shared_ptr<TWaveBackend> InstallWaveBackend(std::shared_ptr<TWaveBackend> backend) {
    std::lock_guard<std::mutex> g(gBackendLock);
    std::shared_ptr<TWaveBackend> prev = std::move(BackendSlot());
    BackendSlot() = std::move(backend);
    return prev;
}

std::shared_ptr<TWaveBackend> ActiveWaveBackend() {
    std::lock_guard<std::mutex> g(gBackendLock);
    if (!BackendSlot()) BackendSlot() = CreateWaveBackend("alsa");
    return BackendSlot();
}

int OpenWaveDeviceCount() {
    std::lock_guard<std::mutex> g(gDevicesLock);
    return static_cast<int>(Devices().size());
}

// --- input

UINT waveInGetNumDevs() {
    auto b = ActiveWaveBackend();
    return b ? b->NumDevs(TWaveDirection::wdInput) : 0;
}

MMRESULT waveInGetDevCapsW(UINT_PTR uDeviceID, WAVEINCAPSW* pwic, UINT cbwic) {
    return GetCaps(TWaveDirection::wdInput, uDeviceID, pwic, cbwic);
}

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
    DWORD_PTR h = 0;
    MMRESULT r = Open(TWaveDirection::wdInput, phwi ? &h : nullptr, uDeviceID, pwfx, dwCallback, fdwOpen);
    if (phwi && !(fdwOpen & WAVE_FORMAT_QUERY)) *phwi = reinterpret_cast<HWAVEIN>(h);
    return r;
}

MMRESULT waveInClose(HWAVEIN hwi) { return Close(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput); }

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
    return Prepare(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput, pwh, cbwh);
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
    return Unprepare(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput, pwh, cbwh);
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
    return Queue(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput, pwh, cbwh);
}

MMRESULT waveInStart(HWAVEIN hwi) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    if (d->failed) return d->failCode;
    if (d->started) return MMSYSERR_NOERROR;
    if (MMRESULT r = d->stream->Start()) return r;
    d->started = true;
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN hwi) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    if (!d->started) return MMSYSERR_NOERROR;
    // What was captured before the stop still goes into the buffers.
    d->DrainInput(d.guard);
    if (d->failed) return MMSYSERR_NOERROR;
    d->readFrames += d->stream->Delay();  // dropped below; still counted as captured
    d->stream->Drop();
    d->started = false;
    if (d->head && d->head->dwBytesRecorded > 0) d->ReturnHeader(d->PopHead());
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN hwi) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    if (d->started) {
        d->DrainInput(d.guard);
        d->stream->Drop();
        d->started = false;
    }
    d->ReturnAll();
    d->readFrames = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt) {
    return Position(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput, pmmt, cbmmt);
}

MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID) {
    return GetId(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput, puDeviceID);
}

// --- output

UINT waveOutGetNumDevs() {
    auto b = ActiveWaveBackend();
    return b ? b->NumDevs(TWaveDirection::wdOutput) : 0;
}

MMRESULT waveOutGetDevCapsW(UINT_PTR uDeviceID, WAVEOUTCAPSW* pwoc, UINT cbwoc) {
    return GetCaps(TWaveDirection::wdOutput, uDeviceID, pwoc, cbwoc);
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
    DWORD_PTR h = 0;
    MMRESULT r = Open(TWaveDirection::wdOutput, phwo ? &h : nullptr, uDeviceID, pwfx, dwCallback, fdwOpen);
    if (phwo && !(fdwOpen & WAVE_FORMAT_QUERY)) *phwo = reinterpret_cast<HWAVEOUT>(h);
    return r;
}

MMRESULT waveOutClose(HWAVEOUT hwo) { return Close(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput); }

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    return Prepare(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, pwh, cbwh);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    return Unprepare(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, pwh, cbwh);
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    return Queue(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, pwh, cbwh);
}

MMRESULT waveOutPause(HWAVEOUT hwo) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    if (d->paused) return MMSYSERR_NOERROR;
    d->paused = true;
    if (!d->failed) {
        if (d->stream->Pause(true)) {
            d->hwPaused = true;
        } else {
            const uint64_t played = d->PositionFrames();
            d->stream->Drop();
            d->Rewind(played);
        }
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    if (!d->paused) return MMSYSERR_NOERROR;
    if (d->hwPaused) d->stream->Pause(false);
    d->hwPaused = false;
    d->paused = false;
    while (d->WriteSome()) {
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    if (d->hwPaused) {
        d->stream->Pause(false);
        d->hwPaused = false;
    }
    if (!d->failed) d->stream->Drop();
    d->ClearOutputState();
    d->ReturnAll();
    // A paused device stays paused (it was paused in place or its frames
    // were dropped; either way nothing is pending now).
    if (d->paused && !d->failed) d->hwPaused = d->stream->Pause(true);
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutBreakLoop(HWAVEOUT hwo) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    // The writer may be passes ahead of what plays: if a loop is in what
    // the device holds, take those passes back first, so the loop ends with
    // the pass that is playing now.
    bool loopInFlight = false;
    for (size_t i = 0; i < d->chunkCount; ++i)
        loopInFlight = loopInFlight || d->chunks[(d->chunkHead + i) % d->chunks.size()].loopBegin;
    if (loopInFlight && !d->failed && !d->hwPaused) {
        const uint64_t played = d->PositionFrames();
        d->stream->Drop();
        d->Rewind(played);
    }
    if (!d->loopBegin) return MMSYSERR_NOERROR;
    d->breakLoop = true;
    while (d->WriteSome()) {
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
    return Position(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, pmmt, cbmmt);
}

static MMRESULT NotSupported(HWAVEOUT hwo) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    return d.r ? d.r : MMSYSERR_NOTSUPPORTED;
}

MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD*) { return NotSupported(hwo); }
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD) { return NotSupported(hwo); }
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD*) { return NotSupported(hwo); }
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD) { return NotSupported(hwo); }

MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    if (!pdwVolume) return MMSYSERR_INVALPARAM;
    *pdwVolume = d->volume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    TLocked d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    // One channel: the low word is its volume.
    if (d->format.nChannels == 1) dwVolume = (dwVolume & 0xFFFF) | ((dwVolume & 0xFFFF) << 16);
    d->volume = dwVolume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetID(HWAVEOUT hwo, UINT* puDeviceID) {
    return GetId(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, puDeviceID);
}

}  // namespace orvant
