#include "audio/WaveIn.h"

#include <exception>

namespace orvant {

TWaveAudioIn::TWaveAudioIn(TComponent* AOwner) : TWaveAudioIO(AOwner) {}

TWaveAudioIn::~TWaveAudioIn() { ShutDown(); }

// ------------------------------------------------------------ device information

uint32_t TWaveAudioIn::GetNumDevs() { return waveInGetNumDevs(); }

std::string TWaveAudioIn::GetDeviceName() {
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(fDeviceID, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
    return PlatformText(caps.szPname, MAXPNAMELEN);
}

TWaveDeviceFormats TWaveAudioIn::GetDeviceFormats() {
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(fDeviceID, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
    return FormatsFromCaps(caps.dwFormats);
}

MMRESULT TWaveAudioIn::CheckDeviceID(uint32_t DeviceID) {
    WAVEINCAPSW caps{};
    return waveInGetDevCapsW(DeviceID, &caps, sizeof(caps));
}

std::string TWaveAudioIn::GetErrorText(uint32_t ErrorCode) {
    char16_t text[MAXERRORLENGTH] = {};
    if (waveInGetErrorTextW(ErrorCode, text, MAXERRORLENGTH) != MMSYSERR_NOERROR) return {};
    return PlatformText(text, MAXERRORLENGTH);
}

uint32_t TWaveAudioIn::GetPosition() {
    MMTIME time{};
    time.wType = TIME_MS;
    if (waveInGetPosition(fHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
    return DeviceTimeToMs(time);
}

bool TWaveAudioIn::Query(const tWAVEFORMATEX* pWaveFormat) {
    return pWaveFormat && waveInOpen(nullptr, fDeviceID, pWaveFormat, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR;
}

// ------------------------------------------------------------ format

void TWaveAudioIn::SetPCMFormat(TPCMFormat Value) {
    if (Value == fPCMFormat) return;
    if (HasDeviceHandle()) throw EWaveAudioInvalidOperation("Audio format cannot be changed while device is open");
    fPCMFormat = Value;
}

void TWaveAudioIn::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
    if (fPCMFormat != nonePCM) {
        FreeIt = true;
        pWaveFormat = AllocWaveFormat(0);
        if (pWaveFormat)
            PCMFormatToWaveFormat(pWaveFormat, fPCMFormat);
        else
            CheckResult(MMSYSERR_NOMEM);
    } else if (OnFormat) {
        OnFormat(this, pWaveFormat, FreeIt);
    }
    // nonePCM without OnFormat: no format, the open does not happen.
}

// ------------------------------------------------------------ open, close, pause, resume

bool TWaveAudioIn::OpenDevice() {
    return OpenDeviceWith(
        [this](const tWAVEFORMATEX* f) { return waveInOpen(nullptr, fDeviceID, f, 0, 0, WAVE_FORMAT_QUERY); },
        [this](const tWAVEFORMATEX* f) {
            HWAVEIN handle = nullptr;
            const MMRESULT r = waveInOpen(&handle, fDeviceID, f, fCallback, 0, fCallbackType);
            fHandle = handle;
            return r;
        });
}

bool TWaveAudioIn::CloseDevice() {
    return CloseDeviceWith(
        [this] {
            MakeRoomForBacklog();
            return waveInReset(fHandle);
        },
        [this] { return waveInClose(fHandle); },
        /*PassExceptions=*/false);
}

bool TWaveAudioIn::PauseDevice() {
    return PauseDeviceWith(
        [this] {
            MakeRoomForBacklog();
            return waveInStop(fHandle);
        },
        fPaused);
}

void TWaveAudioIn::MakeRoomForBacklog() {
    if (!HasDeviceHandle() || fPaused || fBufferCount == 0) return;
    MMTIME time{};
    time.wType = TIME_BYTES;
    if (waveInGetPosition(fHandle, &time, sizeof(time)) != MMSYSERR_NOERROR || time.wType != TIME_BYTES) return;
    // Every buffer not yet handed to the hooks holds part of the backlog or
    // has room for it.
    uint64_t room = 0;
    for (PWAVEHDR h : Buffers) room += h->dwBufferLength;
    const uint64_t backlog = time.u.cb > fDelivered ? time.u.cb - fDelivered : 0;
    const uint32_t size = BufferSizeForFormat();
    while (size > 0 && room < backlog + size && QueueNewBuffer()) room += size;
}

bool TWaveAudioIn::ResumeDevice() {
    return ResumeDeviceWith([this] { return waveInStart(fHandle); }, fPaused);
}

// ------------------------------------------------------------ buffers

bool TWaveAudioIn::AddBuffer(PWAVEHDR pWaveHeader) {
    const bool wasPrepared = pWaveHeader->dwFlags & WHDR_PREPARED;
    if (!wasPrepared && !CheckResult(waveInPrepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR)))) return false;
    bool added = false;
    try {
        added = CheckResult(waveInAddBuffer(fHandle, pWaveHeader, sizeof(WAVEHDR)));
    } catch (...) {
        if (!wasPrepared) waveInUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
        throw;
    }
    if (!added && !wasPrepared) waveInUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
    return added;
}

bool TWaveAudioIn::QueueBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt) {
    PWAVEHDR header = nullptr;
    try {
        if (!ResizeBuffer(header, BufferSize, Buffer)) return false;
        if (FreeIt) header->dwUser = reinterpret_cast<DWORD_PTR>(this);
        if (AddBuffer(header)) return true;
    } catch (...) {
    }
    DiscardBuffer(header);
    return false;
}

void TWaveAudioIn::HandleInputData(void*, uint32_t, bool&) {}

void TWaveAudioIn::DiscardBuffer(PWAVEHDR& pWaveHeader) {
    if (!pWaveHeader) return;
    if (pWaveHeader->dwFlags & WHDR_PREPARED) waveInUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR));
    ResizeBuffer(pWaveHeader, 0, nullptr);
}

bool TWaveAudioIn::QueueNewBuffer() {
    PWAVEHDR header = nullptr;
    try {
        if (!ResizeBuffer(header, BufferSizeForFormat(), nullptr)) return false;
        if (AddBuffer(header)) return true;
    } catch (...) {
    }
    DiscardBuffer(header);
    return false;
}

void TWaveAudioIn::QueueInitialBuffers() {
    for (uint32_t i = QueuedBufferCount(); i < fBufferCount && HasDeviceHandle() && !fHandshake.Closing(); ++i)
        if (!QueueNewBuffer()) break;
}

// ------------------------------------------------------------ device messages

void TWaveAudioIn::DoWimOpen() {
    fDelivered = 0;
    DeviceOpened();
    // A device stopped before its open message arrived is already closing:
    // starting it would only fail on the closed handle.
    if (!fPaused && !fHandshake.Closing()) {
        // A start that fails leaves the device paused.
        fPaused = true;
        if (CheckResult(waveInStart(fHandle))) fPaused = false;
    }
}

void TWaveAudioIn::DoWimData(PWAVEHDR pWaveHeader) {
    // The handler that releases the last buffer of a closing device closes it.
    auto closeWhenEmpty = [this] { CloseWhenEmpty([this] { return waveInClose(fHandle); }); };
    // A hook that fails (a full disk) costs the bytes of this buffer, not the
    // buffer: it goes back to the device, so recording goes on once the
    // cause has gone. The failure is raised after the buffer is queued again.
    std::exception_ptr hookError;
    // A device that takes no buffer any more (it failed) closes once the
    // last one is back, rather than stay open recording nothing.
    bool refused = false;
    auto closeWhenStarved = [&] {
        if (refused && !fHandshake.Closing() && QueuedBufferCount() == 0 && HasDeviceHandle()) {
            fHandshake.BeginEnding();
            if (waveInReset(fHandle) != MMSYSERR_NOERROR) fHandshake.CancelEnding();
        }
        closeWhenEmpty();
    };
    try {
        if (pWaveHeader) {
            if (CheckResult(waveInUnprepareHeader(fHandle, pWaveHeader, sizeof(WAVEHDR))) &&
                pWaveHeader->dwBytesRecorded > 0) {
                bool freeIt = true;
                fDelivered += pWaveHeader->dwBytesRecorded;
                try {
                    DoLevel(pWaveHeader->lpData, pWaveHeader->dwBytesRecorded);
                    DoFilter(pWaveHeader->lpData, pWaveHeader->dwBytesRecorded);
                    HandleInputData(pWaveHeader->lpData, pWaveHeader->dwBytesRecorded, freeIt);
                } catch (...) {
                    hookError = std::current_exception();
                }
                // The hook kept the block: never free or reuse it.
                if (!freeIt) pWaveHeader->dwUser = 0;
            }
            if (!fHandshake.Closing() && QueuedBufferCount() <= fBufferCount) {
                refused = true;  // until the device has taken it
                if (ResizeBuffer(pWaveHeader, BufferSizeForFormat(), nullptr)) {
                    if (AddBuffer(pWaveHeader))
                        refused = false;
                    else
                        DiscardBuffer(pWaveHeader);
                }
            } else {
                ResizeBuffer(pWaveHeader, 0, nullptr);
            }
        }
    } catch (...) {
        DiscardBuffer(pWaveHeader);
        closeWhenStarved();
        throw;
    }
    closeWhenStarved();
    if (hookError) std::rethrow_exception(hookError);
}

void TWaveAudioIn::DoWimClose() {
    fHandle = nullptr;
    DeviceClosed();
}

}  // namespace orvant
