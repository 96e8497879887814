// The waveIn/waveOut entry points: each checks its arguments, looks the
// device up and locks it (TLockedDevice), and hands the work to the device's
// parts (WaveDevice.h); Open and Close make and end devices.

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/wavedev/DeviceRegistry.h"
#include "platform/wavedev/FormatMapper.h"
#include "platform/wavedev/WaveDevInternal.h"

namespace orvant {

namespace {

constexpr UINT kMinHeaderSize = 32;

// uDeviceID of the capability calls may be an open device's handle.
UINT ResolveDeviceId(UINT_PTR id, TWaveDirection dir) {
    if (id == static_cast<UINT_PTR>(-1)) return WAVE_MAPPER;  // the mapper, widened
    if (id > 0xFFFFFFFFu) {
        if (auto d = FindDevice(id, dir)) return d->deviceId;
        return WAVE_MAPPER - 1;  // certainly out of range
    }
    return static_cast<UINT>(id);
}

MMRESULT CheckId(TWaveBackend& b, TWaveDirection dir, UINT id) {
    if (id == WAVE_MAPPER) return b.NumDevs(dir) > 0 ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    return id < b.NumDevs(dir) ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

// The target of the open flags' callback type: nullptr for CALLBACK_NULL, a
// live window for CALLBACK_WINDOW, a live thread for CALLBACK_THREAD.
MMRESULT CallbackTarget(DWORD_PTR callback, DWORD flags, TCallbackTarget*& target) {
    target = nullptr;
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
        return MMSYSERR_NOERROR;
    case CALLBACK_WINDOW:
    case CALLBACK_THREAD:
        target = TCallbackTarget::FromHandle(callback);
        if (!target) return MMSYSERR_INVALPARAM;
        // Window handles go with CALLBACK_WINDOW, threads with CALLBACK_THREAD.
        if (target->IsThread() != ((flags & CALLBACK_TYPEMASK) == CALLBACK_THREAD)) return MMSYSERR_INVALPARAM;
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_INVALFLAG;
    }
}

MMRESULT Open(TWaveDirection dir, DWORD_PTR* ph, UINT id, const WAVEFORMATEX* pwfx, DWORD_PTR callback, DWORD flags) {
    if (!pwfx) return MMSYSERR_INVALPARAM;
    WAVEFORMATEX fmt;
    std::memcpy(&fmt, pwfx, sizeof fmt);
    fmt.cbSize = 0;
    auto backend = ActiveWaveBackend();
    if (!backend) return MMSYSERR_NODRIVER;
    if (MMRESULT r = CheckId(*backend, dir, id)) return r;
    // Output on the mapper plays what it can convert; a device chosen by
    // number, and input, take what the backend takes.
    TOutputMapping mapping;
    const bool mapper = dir == TWaveDirection::wdOutput && id == WAVE_MAPPER;
    ClearWaveErrorDetail();
    if (mapper) {
        if (MMRESULT r = MapOutputFormat(*backend, id, WaveFormatRecord(pwfx), mapping)) return r;
        std::memcpy(&fmt, mapping.source.data(), sizeof fmt);
        if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
    } else {
        if (!WaveFormatIsSound(fmt)) return WAVERR_BADFORMAT;
        if (flags & WAVE_FORMAT_QUERY) return backend->QueryFormat(dir, id, fmt);
    }
    if (!ph) return MMSYSERR_INVALPARAM;
    *ph = 0;
    TCallbackTarget* target = nullptr;
    if (MMRESULT r = CallbackTarget(callback, flags, target)) return r;
    auto dev = std::make_shared<TDevice>(dir);
    dev->deviceId = id;
    dev->format = fmt;
    dev->block = fmt.nBlockAlign;
    dev->backend = backend;
    dev->samplesPerBlock = mapping.samplesPerBlock;
    if (MMRESULT r = backend->Open(dir, id, mapper ? mapping.device : fmt, dev->stream)) return r;
    if (!dev->stream) return MMSYSERR_ERROR;
    if (mapping.convert) {
        if (MMRESULT r = MakeMappedStream(mapping, dev->stream)) return r;
    }
    if (dir == TWaveDirection::wdOutput) {
        dev->out.Init();
        dev->volume.Init(fmt);
    }
    dev->target = TTargetRef(target);  // held until the close message is posted
    // The I/O thread before the registry lists the device (from then on any
    // thread may close it, and Close joins `io`); the thread has nothing to
    // do, and so posts nothing, before a header is queued. The handle is
    // valid before the open message goes, so its handler may use it.
    TDevice* raw = dev.get();
    dev->io = std::thread([raw] { raw->Run(); });
    AddDevice(dev);
    {
        TDeviceLock l(dev->lock);
        dev->Post(l, dir == TWaveDirection::wdInput ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
    }
    *ph = dev->Handle();
    return MMSYSERR_NOERROR;
}

MMRESULT Close(DWORD_PTR handle, TWaveDirection dir) {
    auto dev = FindDevice(handle, dir);
    if (!dev) return MMSYSERR_INVALHANDLE;
    {
        TDeviceLock l(dev->lock);
        if (dev->closing) return MMSYSERR_INVALHANDLE;
        if (!dev->queue.Empty(l)) return WAVERR_STILLPLAYING;
        dev->closing = true;
        dev->quit = true;
        dev->Wake(l);
    }
    // The I/O thread runs no caller code (it only posts), so Close never
    // runs on it: the join is always on another thread.
    dev->io.join();
    {
        TDeviceLock l(dev->lock);
        dev->stream.reset();
        dev->Post(l, dir == TWaveDirection::wdInput ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
    }
    RemoveDevice(handle);
    dev->target.Reset();
    return MMSYSERR_NOERROR;
}

MMRESULT Prepare(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLockedDevice d(handle, dir);
    if (d.r) return d.r;
    if (!h || cb < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (h->dwFlags & WHDR_PREPARED) return MMSYSERR_NOERROR;
    if (MMRESULT r = d->stream->PrepareHeader(*h)) return r;
    h->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLockedDevice d(handle, dir);
    if (d.r) return d.r;
    if (!h || cb < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    h->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(DWORD_PTR handle, TWaveDirection dir, WAVEHDR* h, UINT cb) {
    TLockedDevice d(handle, dir);
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
    d->queue.Append(d.Lock(), h);
    // Output: the device takes what it can now; the I/O thread does the rest.
    if (dir == TWaveDirection::wdOutput) d->out.Queued(d.Lock(), h);
    d->Wake(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT Position(DWORD_PTR handle, TWaveDirection dir, MMTIME* t, UINT cb) {
    TLockedDevice d(handle, dir);
    if (d.r) return d.r;
    if (!t || cb < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    // Device time counts blocks of the caller's format: sample frames, or
    // a codec's blocks of samplesPerBlock frames each.
    const uint64_t blocks = d->PositionFrames(d.Lock());
    const uint64_t frames = blocks * d->samplesPerBlock;
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
        t->u.cb = static_cast<DWORD>(blocks * d->block);
        break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT GetId(DWORD_PTR handle, TWaveDirection dir, UINT* id) {
    TLockedDevice d(handle, dir);
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
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    if (d->failed) return d->failCode;
    if (d->in.Started(d.Lock())) return MMSYSERR_NOERROR;
    return d->in.Start(d.Lock());
}

MMRESULT waveInStop(HWAVEIN hwi) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    if (d->in.Started(d.Lock())) d->in.Stop(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN hwi) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwi), TWaveDirection::wdInput);
    if (d.r) return d.r;
    d->in.Reset(d.Lock());
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
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    d->out.Pause(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    d->out.Restart(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    d->out.Reset(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutBreakLoop(HWAVEOUT hwo) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    d->out.BreakLoop(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
    return Position(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, pmmt, cbmmt);
}

static MMRESULT NotSupported(HWAVEOUT hwo) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    return d.r ? d.r : MMSYSERR_NOTSUPPORTED;
}

MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD*) { return NotSupported(hwo); }
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD) { return NotSupported(hwo); }
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD*) { return NotSupported(hwo); }
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD) { return NotSupported(hwo); }

MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    if (!pdwVolume) return MMSYSERR_INVALPARAM;
    *pdwVolume = d->volume.Get(d.Lock());
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    TLockedDevice d(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput);
    if (d.r) return d.r;
    d->volume.Set(d.Lock(), dwVolume);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetID(HWAVEOUT hwo, UINT* puDeviceID) {
    return GetId(reinterpret_cast<DWORD_PTR>(hwo), TWaveDirection::wdOutput, puDeviceID);
}

}  // namespace orvant
