#include "audio/WaveOut.h"

#include <cmath>
#include <cstdlib>
#include <exception>

namespace orvant {

namespace {

// Support bit of output devices that play through the system's mixer
// directly; not among the bits the device layer names.
constexpr DWORD kWaveCapsDirectSound = 0x0040;

}  // namespace

// ------------------------------------------------------------ conversions

void VolumeToPercent(uint32_t Volume, uint16_t& Left, uint16_t& Right) {
    Left = uint16_t(MulDiv(int32_t(Volume & 0xFFFF), 100, 0xFFFF));
    Right = uint16_t(MulDiv(int32_t(Volume >> 16), 100, 0xFFFF));
}

uint32_t PercentToVolume(uint16_t Left, uint16_t Right) {
    const uint32_t low = uint32_t(MulDiv(Left, 0xFFFF, 100)) & 0xFFFF;
    const uint32_t high = uint32_t(MulDiv(Right, 0xFFFF, 100)) & 0xFFFF;
    return low | high << 16;
}

uint32_t FloatToFixed(double Value) {
    if (!(Value > 0)) return 0;  // negative factors and NaN
    const double whole = std::floor(Value);
    const uint32_t high = whole >= 65535.0 ? 0xFFFF : uint32_t(whole);
    const uint32_t low = uint32_t(std::floor((Value - whole) * 65536.0)) & 0xFFFF;
    return high << 16 | low;
}

double FixedToFloat(uint32_t Value) { return double(int16_t(Value >> 16)) + double(Value & 0xFFFF) / 65536.0; }

// ------------------------------------------------------------ construction

TWaveAudioOut::TWaveAudioOut(TComponent* AOwner) : TWaveAudioIO(AOwner) {}

TWaveAudioOut::~TWaveAudioOut() { ShutDown(); }

// ------------------------------------------------------------ device information

uint32_t TWaveAudioOut::GetNumDevs() { return waveOutGetNumDevs(); }

std::string TWaveAudioOut::GetDeviceName() {
    WAVEOUTCAPSW caps{};
    if (waveOutGetDevCapsW(fDeviceID, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
    return PlatformText(caps.szPname, MAXPNAMELEN);
}

TWaveDeviceFormats TWaveAudioOut::GetDeviceFormats() {
    WAVEOUTCAPSW caps{};
    if (waveOutGetDevCapsW(fDeviceID, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
    return FormatsFromCaps(caps.dwFormats);
}

TWaveOutDeviceSupports TWaveAudioOut::GetDeviceSupports() {
    WAVEOUTCAPSW caps{};
    if (waveOutGetDevCapsW(fDeviceID, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
    TWaveOutDeviceSupports s{dsAsynchronize};
    if (caps.dwSupport & WAVECAPS_VOLUME) {
        s.Include(dsVolume);
        if (caps.dwSupport & WAVECAPS_LRVOLUME) s.Include(dsStereoVolume);
    }
    if (caps.dwSupport & WAVECAPS_PITCH) s.Include(dsPitch);
    if (caps.dwSupport & WAVECAPS_PLAYBACKRATE) s.Include(dsPlaybackRate);
    if (caps.dwSupport & WAVECAPS_SAMPLEACCURATE) s.Include(dsPosition);
    if (caps.dwSupport & WAVECAPS_SYNC) s.Exclude(dsAsynchronize);
    if (caps.dwSupport & kWaveCapsDirectSound) s.Include(dsDirectSound);
    return s;
}

MMRESULT TWaveAudioOut::CheckDeviceID(uint32_t DeviceID) {
    WAVEOUTCAPSW caps{};
    return waveOutGetDevCapsW(DeviceID, &caps, sizeof(caps));
}

std::string TWaveAudioOut::GetErrorText(uint32_t ErrorCode) {
    char16_t text[MAXERRORLENGTH] = {};
    if (waveOutGetErrorTextW(ErrorCode, text, MAXERRORLENGTH) != MMSYSERR_NOERROR) return {};
    return PlatformText(text, MAXERRORLENGTH);
}

bool TWaveAudioOut::Query(const tWAVEFORMATEX* pWaveFormat) {
    return pWaveFormat &&
           waveOutOpen(nullptr, fDeviceID, pWaveFormat, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR;
}

// ------------------------------------------------------------ position

uint32_t TWaveAudioOut::GetPosition() {
    MMTIME time{};
    time.wType = TIME_MS;
    if (waveOutGetPosition(fHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return fStartPosition;
    return fStartPosition + DeviceTimeToMs(time);
}

void TWaveAudioOut::SetPosition(uint32_t Value) {
    // Under the lock so that the reset does not cut into a refill running on
    // the callback thread.
    std::lock_guard<std::recursive_mutex> guard(CS);
    fStartPosition = Value;
    if (!HasDeviceHandle()) return;
    waveOutReset(fHandle);  // every queued buffer comes back and is refilled
    if (fPaused) fPaused = CheckResult(waveOutPause(fHandle));
}

// ------------------------------------------------------------ volume, pitch, rate

bool TWaveAudioOut::GetDeviceVolume(uint16_t& Left, uint16_t& Right) {
    if (!HasDeviceHandle()) return false;
    const TWaveOutDeviceSupports s = GetDeviceSupports();
    DWORD volume = 0;
    if (!s.Contains(dsVolume) || waveOutGetVolume(fHandle, &volume) != MMSYSERR_NOERROR) return false;
    VolumeToPercent(volume, Left, Right);
    if (!s.Contains(dsStereoVolume)) Right = Left;
    return true;
}

bool TWaveAudioOut::SetDeviceVolume(uint16_t& Left, uint16_t& Right) {
    if (!fOptions.Contains(woSetVolume) || !HasDeviceHandle()) return false;
    const TWaveOutDeviceSupports s = GetDeviceSupports();
    if (!s.Contains(dsVolume)) return false;
    if (!s.Contains(dsStereoVolume)) Left = Right = uint16_t((uint32_t(Left) + Right) / 2);
    return waveOutSetVolume(fHandle, PercentToVolume(Left, Right)) == MMSYSERR_NOERROR;
}

uint16_t TWaveAudioOut::Volume() {
    GetDeviceVolume(fVolumeLeft, fVolumeRight);
    return uint16_t((uint32_t(fVolumeLeft) + fVolumeRight) / 2);
}

void TWaveAudioOut::SetVolume(uint16_t Value) {
    fVolumeLeft = fVolumeRight = Value;
    SetDeviceVolume(fVolumeLeft, fVolumeRight);
}

uint16_t TWaveAudioOut::VolumeLeft() {
    GetDeviceVolume(fVolumeLeft, fVolumeRight);
    return fVolumeLeft;
}

void TWaveAudioOut::SetVolumeLeft(uint16_t Value) {
    fVolumeLeft = Value;
    SetDeviceVolume(fVolumeLeft, fVolumeRight);
}

uint16_t TWaveAudioOut::VolumeRight() {
    GetDeviceVolume(fVolumeLeft, fVolumeRight);
    return fVolumeRight;
}

void TWaveAudioOut::SetVolumeRight(uint16_t Value) {
    fVolumeRight = Value;
    SetDeviceVolume(fVolumeLeft, fVolumeRight);
}

double TWaveAudioOut::Pitch() {
    if (!HasDeviceHandle()) return fPitch;
    if (!GetDeviceSupports().Contains(dsPitch)) return 1.0;
    DWORD value = 0;
    // A device that cannot tell its pitch is taken to play the one set.
    if (waveOutGetPitch(fHandle, &value) != MMSYSERR_NOERROR) return fPitch;
    return FixedToFloat(value);
}

void TWaveAudioOut::SetPitch(double Value) {
    if (Value == fPitch) return;
    fPitch = Value;
    if (HasDeviceHandle() && fOptions.Contains(woSetPitch) && GetDeviceSupports().Contains(dsPitch))
        waveOutSetPitch(fHandle, FloatToFixed(fPitch));
}

double TWaveAudioOut::PlaybackRate() {
    if (!HasDeviceHandle()) return fPlaybackRate;
    if (!GetDeviceSupports().Contains(dsPlaybackRate)) return 1.0;
    DWORD value = 0;
    if (waveOutGetPlaybackRate(fHandle, &value) != MMSYSERR_NOERROR) return fPlaybackRate;
    return FixedToFloat(value);
}

void TWaveAudioOut::SetPlaybackRate(double Value) {
    if (Value == fPlaybackRate) return;
    fPlaybackRate = Value;
    if (HasDeviceHandle() && fOptions.Contains(woSetPlaybackRate) && GetDeviceSupports().Contains(dsPlaybackRate))
        waveOutSetPlaybackRate(fHandle, FloatToFixed(fPlaybackRate));
}

void TWaveAudioOut::SetOptions(TWaveOutOptions Value) {
    if (Value == fOptions) return;
    fOptions = Value;
    if (HasDeviceHandle()) ApplyOptions();
}

void TWaveAudioOut::ApplyOptions() {
    const TWaveOutDeviceSupports s = GetDeviceSupports();
    if (fOptions.Contains(woSetVolume) && s.Contains(dsVolume))
        waveOutSetVolume(fHandle, PercentToVolume(fVolumeLeft, fVolumeRight));
    if (fOptions.Contains(woSetPitch) && s.Contains(dsPitch)) waveOutSetPitch(fHandle, FloatToFixed(fPitch));
    if (fOptions.Contains(woSetPlaybackRate) && s.Contains(dsPlaybackRate))
        waveOutSetPlaybackRate(fHandle, FloatToFixed(fPlaybackRate));
}

// ------------------------------------------------------------ open, close, pause, resume

bool TWaveAudioOut::OpenDevice() {
    return OpenDeviceWith(
        [this](const tWAVEFORMATEX* f) { return waveOutOpen(nullptr, fDeviceID, f, 0, 0, WAVE_FORMAT_QUERY); },
        [this](const tWAVEFORMATEX* f) {
            HWAVEOUT handle = nullptr;
            const MMRESULT r = waveOutOpen(&handle, fDeviceID, f, fCallback, 0, fCallbackType);
            fHandle = handle;
            return r;
        });
}

bool TWaveAudioOut::CloseDevice() {
    return CloseDeviceWith([this] { return waveOutReset(fHandle); }, [this] { return waveOutClose(fHandle); },
                           /*PassExceptions=*/true);
}

bool TWaveAudioOut::PauseDevice() {
    return PauseDeviceWith([this] { return waveOutPause(fHandle); }, fPaused);
}

bool TWaveAudioOut::ResumeDevice() {
    return ResumeDeviceWith([this] { return waveOutRestart(fHandle); }, fPaused);
}

// ------------------------------------------------------------ buffers

bool TWaveAudioOut::WriteBuffer(PWAVEHDR pWaveHeader) {
    const bool wasPrepared = pWaveHeader->dwFlags & WHDR_PREPARED;
    if (!wasPrepared && !CheckResult(waveOutPrepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR)))) return false;
    bool written = false;
    try {
        DoFilter(pWaveHeader->lpData, pWaveHeader->dwBufferLength);
        // The level describes the filtered bytes.
        DoLevel(pWaveHeader->lpData, pWaveHeader->dwBufferLength);
        written = CheckResult(waveOutWrite(fHandle, pWaveHeader, sizeof(WAVEHDR)));
    } catch (...) {
        if (!wasPrepared) waveOutUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
        throw;
    }
    if (!written && !wasPrepared) waveOutUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
    return written;
}

bool TWaveAudioOut::QueueBuffer(void* Buffer, uint32_t BufferSize, uint32_t NumLoops, bool FreeIt) {
    std::lock_guard<std::recursive_mutex> guard(CS);
    PWAVEHDR header = nullptr;
    try {
        if (!ResizeBuffer(header, BufferSize, Buffer)) return false;
        if (FreeIt) header->dwUser = reinterpret_cast<DWORD_PTR>(this);
        // One block looped on its own is both the first and the last of the loop.
        if (NumLoops != 0) {
            header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
            header->dwLoops = NumLoops;
        }
        if (WriteBuffer(header)) return true;
    } catch (...) {
    }
    DiscardBuffer(header);
    return false;
}

uint32_t TWaveAudioOut::FetchWaveData(void*, uint32_t, uint32_t&) { return 0; }

uint32_t TWaveAudioOut::FetchWaveDataPointer(void*&, uint32_t&, bool&) { return 0; }

void TWaveAudioOut::DiscardBuffer(PWAVEHDR& pWaveHeader) {
    if (!pWaveHeader) return;
    if (pWaveHeader->dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
    ResizeBuffer(pWaveHeader, 0, nullptr);
}

void TWaveAudioOut::QueueInitialBuffers() {
    // One request; each refill asks for the next until the queue is full, so
    // the first buffer plays before the others are filled.
    if (QueuedBufferCount() == 0 && HasDeviceHandle() && !fHandshake.Closing()) ForwardDeviceMessage(MM_WOM_DONE, 0);
}

TWaveAudioOut::TRefill TWaveAudioOut::RefillBuffer(PWAVEHDR& pWaveHeader, uint32_t& NumLoops) {
    NumLoops = 0;
    if (fBufferInternally) {
        uint32_t size = 0;
        if (ResizeBuffer(pWaveHeader, BufferSizeForFormat(), nullptr)) {
            size = FetchWaveData(pWaveHeader->lpData, pWaveHeader->dwBufferLength, NumLoops);
            // More than was asked for is a supplier's error count (a failed
            // read gives -1): it ends the playback like the end of the data.
            if (size > pWaveHeader->dwBufferLength) size = 0;
            if (size < pWaveHeader->dwBufferLength) ResizeBuffer(pWaveHeader, size, nullptr);
        }
        // Running out of memory ends the playback like the end of the data.
        return size != 0 && pWaveHeader != nullptr ? TRefill::Play : TRefill::End;
    }

    void* buffer = nullptr;
    bool freeIt = true;
    bool silence = false;
    uint32_t size = FetchWaveDataPointer(buffer, NumLoops, freeIt);
    if (size == 0) {
        if (buffer && freeIt) std::free(buffer);
        ResizeBuffer(pWaveHeader, 0, nullptr);
        return TRefill::End;
    }
    if (!buffer) {
        // No data yet, but playback goes on: play silence when nothing else
        // is queued, otherwise queue nothing now.
        if (QueuedBufferCount() > 1) {
            ResizeBuffer(pWaveHeader, 0, nullptr);
            return TRefill::Skip;
        }
        silence = true;
        freeIt = true;
        size = BufferBytesForMs(&WaveFormat, size);
    }
    if (!ResizeBuffer(pWaveHeader, size, buffer)) {
        if (buffer && freeIt) std::free(buffer);
        return TRefill::Skip;
    }
    if (freeIt) {
        pWaveHeader->dwUser = reinterpret_cast<DWORD_PTR>(this);
        if (silence) FillWithSilence(pWaveHeader->lpData, pWaveHeader->dwBufferLength, &WaveFormat);
    }
    return TRefill::Play;
}

bool TWaveAudioOut::PlayNext(PWAVEHDR& pWaveHeader) {
    if (QueuedBufferCount() > fBufferCount) {
        // More buffers than wanted (BufferCount was lowered).
        ResizeBuffer(pWaveHeader, 0, nullptr);
        return false;
    }
    uint32_t numLoops = 0;
    switch (RefillBuffer(pWaveHeader, numLoops)) {
        case TRefill::Skip:
            return false;
        case TRefill::End:
            // The only place a playback ends by itself: what is queued plays
            // out, and the handler that gets the last buffer back closes.
            fHandshake.BeginEnding();
            return false;
        case TRefill::Play:
            break;
    }
    if (numLoops != 0) {
        pWaveHeader->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
        pWaveHeader->dwLoops = numLoops;
    }
    const bool written = WriteBuffer(pWaveHeader);
    if (written && QueuedBufferCount() < fBufferCount) ForwardDeviceMessage(MM_WOM_DONE, 0);
    return written;
}

// ------------------------------------------------------------ device messages

void TWaveAudioOut::DoWomOpen() {
    std::exception_ptr pauseError;
    // A device stopped before its open message arrived is already closing
    // (its handle may be gone): nothing is applied to it.
    if (!fHandshake.Closing()) ApplyOptions();
    if (fPaused && !fHandshake.Closing()) {
        // The buffers are queued and OnActivate fires even when the pause
        // failed and raised.
        try {
            fPaused = CheckResult(waveOutPause(fHandle));
        } catch (...) {
            fPaused = false;
            pauseError = std::current_exception();
        }
    }
    DeviceOpened();
    if (pauseError) std::rethrow_exception(pauseError);
}

void TWaveAudioOut::DoWomDone(PWAVEHDR pWaveHeader) {
    bool written = false;
    std::exception_ptr error;
    try {
        if (pWaveHeader) CheckResult(waveOutUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR)));
        if (!fHandshake.Closing()) written = PlayNext(pWaveHeader);
    } catch (...) {
        error = std::current_exception();
    }
    // Whatever was not handed to the device is released here: a buffer the
    // device refused must not stay counted, or the close would wait for it.
    // Playback goes on with the next buffer (its data is lost), so neither a
    // failing handler nor a refused write stalls or closes the device; a
    // device that refuses everything ends at the end of the data.
    if (pWaveHeader && !written) {
        const bool refused = !fHandshake.Closing();
        DiscardBuffer(pWaveHeader);
        if (refused && QueuedBufferCount() < fBufferCount) ForwardDeviceMessage(MM_WOM_DONE, 0);
    }
    CloseWhenEmpty([this] { return waveOutClose(fHandle); });
    if (error) std::rethrow_exception(error);
}

void TWaveAudioOut::DoWomClose() {
    fHandle = nullptr;
    fStartPosition = 0;
    DeviceClosed();
}

}  // namespace orvant
