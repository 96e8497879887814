#include "audio/WaveIO.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace orvant {

// ------------------------------------------------------------ exception display

namespace {

std::mutex gExceptionHandlerLock;
TApplicationExceptionHandler gExceptionHandler;

}  // namespace

void SetApplicationExceptionHandler(TApplicationExceptionHandler Handler) {
    std::lock_guard<std::mutex> guard(gExceptionHandlerLock);
    gExceptionHandler = std::move(Handler);
}

void ShowApplicationException(const std::exception& E) {
    TApplicationExceptionHandler handler;
    {
        std::lock_guard<std::mutex> guard(gExceptionHandlerLock);
        handler = gExceptionHandler;
    }
    if (handler) {
        try {
            handler(E);
            return;
        } catch (...) {
            // A failing display must not take the device down; fall back to stderr.
        }
    }
    std::fprintf(stderr, "%s\n", E.what());
}

// ------------------------------------------------------------ construction

TWaveAudioIO::TWaveAudioIO(TComponent* AOwner) : TComponent(AOwner) {}

TWaveAudioIO::~TWaveAudioIO() {
    Destroying();
    // The devices close in their own destructors, while their handlers still
    // exist. What can be left here is a device whose close failed: make sure
    // no handler of ours runs after this point, and leave its queued buffers
    // alone (the device may still write into them).
    const bool stillOpen = fCallback != 0;
    if (fWindow) {
        fWindow->Destroy();
        fWindow = nullptr;
    }
    if (fThread) {
        fThread->Quit();
        ReapThread();
    }
    fCallback = 0;
    if (!stillOpen) ReleaseBuffers();
}

void TWaveAudioIO::ShutDown() noexcept {
    Destroying();
    try {
        if (GetActive()) SetActive(false);
    } catch (const std::exception& e) {
        ShowApplicationException(e);
    } catch (...) {
    }
    try {
        // A device that refused to close (a failed reset) stays open; waiting
        // for it would never end. The base destructor then makes sure none of
        // its messages reaches this component any more.
        if (fHandshake.Closing() || !GetActive()) WaitForStop();
    } catch (...) {
    }
}

// ------------------------------------------------------------ property writers

void TWaveAudioIO::SetAsync(bool Value) {
    if (!GetActive()) fAsync = Value;
}

void TWaveAudioIO::SetDeviceID(uint32_t Value) {
    if (Value == fDeviceID) return;
    if (GetActive()) throw EWaveAudioInvalidOperation("DeviceID cannot be changed while device is open");
    if (CheckResult(CheckDeviceID(Value))) fDeviceID = Value;
}

void TWaveAudioIO::SetActive(bool Value) {
    if (Value == GetActive()) return;
    if (Value)
        OpenDevice();
    else
        CloseDevice();
}

void TWaveAudioIO::SetPaused(bool Value) {
    if (Value == GetPaused()) return;
    if (Value)
        PauseDevice();
    else
        ResumeDevice();
}

// ------------------------------------------------------------ default handlers

void TWaveAudioIO::DoWimOpen() { DeviceOpened(); }
void TWaveAudioIO::DoWimClose() { DeviceClosed(); }
void TWaveAudioIO::DoWimData(PWAVEHDR) {}
void TWaveAudioIO::DoWomOpen() { DeviceOpened(); }
void TWaveAudioIO::DoWomClose() { DeviceClosed(); }
void TWaveAudioIO::DoWomDone(PWAVEHDR) {}

// ------------------------------------------------------------ callback target

void TWaveAudioIO::CreateCallbackTarget() {
    if (fAsync) {
        ReapThread();  // the thread of an earlier open must have ended
        fCallbackType = CALLBACK_THREAD;
        // The thread's queue exists when Start returns, so the device can
        // post to it at once.
        fThread = TCallbackThread::Start(
            [this](UINT msg, DWORD_PTR wParam, DWORD_PTR lParam) { NotifyWindowProc(msg, wParam, lParam); });
        fCallback = fThread->Handle();
    } else {
        fCallbackType = CALLBACK_WINDOW;
        fWindow = TCallbackWindow::Create(
            [this](UINT msg, DWORD_PTR wParam, DWORD_PTR lParam) { NotifyWindowProc(msg, wParam, lParam); });
        fCallback = fWindow->Handle();
    }
}

void TWaveAudioIO::DestroyCallbackTarget() {
    if (fCallback == 0) return;
    if (fThread) {
        // Ends the thread after the messages before it; the thread itself is
        // let go once it has ended (ReapThread).
        fThread->Quit();
    } else if (fWindow) {
        fWindow->Destroy();
        fWindow = nullptr;
    }
    fCallback = 0;
    WakeWaiters();
}

bool TWaveAudioIO::ThreadRunning() const { return fThread && !fThread->Finished(); }

void TWaveAudioIO::ReapThread() {
    if (!fThread) return;
    if (!fThread->Finished()) WaitWhileDispatching([this] { return fThread->Finished(); });
    fThread->Release();
    fThread = nullptr;
}

void TWaveAudioIO::ForwardDeviceMessage(uint32_t Msg, uintptr_t Param) {
    if (fCallback == 0) return;
    // The queues are unbounded: a post fails only when the target no longer
    // takes messages, and then there is nobody left to handle it.
    if (fThread)
        fThread->Post(Msg, 0, Param);
    else if (fWindow)
        fWindow->Post(Msg, 0, Param);
}

void TWaveAudioIO::NotifyWindowProc(UINT Msg, DWORD_PTR, DWORD_PTR LParam) {
    // Anything else posted to the target has no default handling here.
    DispatchDeviceMessage(Msg, LParam);
}

bool TWaveAudioIO::DispatchDeviceMessage(uint32_t Msg, uintptr_t Param) {
    PWAVEHDR header = reinterpret_cast<PWAVEHDR>(Param);
    void (TWaveAudioIO::*handler)() = nullptr;
    void (TWaveAudioIO::*dataHandler)(PWAVEHDR) = nullptr;
    switch (Msg) {
        case MM_WOM_OPEN: handler = &TWaveAudioIO::DoWomOpen; break;
        case MM_WOM_CLOSE: handler = &TWaveAudioIO::DoWomClose; break;
        case MM_WOM_DONE: dataHandler = &TWaveAudioIO::DoWomDone; break;
        case MM_WIM_OPEN: handler = &TWaveAudioIO::DoWimOpen; break;
        case MM_WIM_CLOSE: handler = &TWaveAudioIO::DoWimClose; break;
        case MM_WIM_DATA: dataHandler = &TWaveAudioIO::DoWimData; break;
        default: return false;
    }
    try {
        std::lock_guard<std::recursive_mutex> guard(CS);
        if (handler)
            (this->*handler)();
        else
            (this->*dataHandler)(header);
    } catch (const std::exception& e) {
        ShowApplicationException(e);
    } catch (...) {
        ShowApplicationException(EWaveAudioError("Unknown error in a device message handler"));
    }
    return true;
}

// ------------------------------------------------------------ buffer pool

namespace {

void RemoveHeader(std::vector<PWAVEHDR>& buffers, PWAVEHDR header) {
    auto it = std::find(buffers.begin(), buffers.end(), header);
    if (it != buffers.end()) buffers.erase(it);
}

}  // namespace

bool TWaveAudioIO::ResizeBuffer(PWAVEHDR& pWaveHeader, uint32_t BufferSize, void* Buffer) {
    const DWORD_PTR self = reinterpret_cast<DWORD_PTR>(this);
    auto release = [&] {
        if (!pWaveHeader) return;
        RemoveHeader(Buffers, pWaveHeader);
        if (pWaveHeader->dwUser == self) std::free(pWaveHeader->lpData);
        std::free(pWaveHeader);
        pWaveHeader = nullptr;
    };
    if (BufferSize == 0) {
        release();
        return true;
    }
    const bool internal = Buffer == nullptr;
    if (!pWaveHeader) {
        pWaveHeader = static_cast<PWAVEHDR>(std::calloc(1, sizeof(WAVEHDR)));
        bool added = false;
        if (pWaveHeader) {
            try {
                Buffers.push_back(pWaveHeader);
                added = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!added) {
            std::free(pWaveHeader);
            pWaveHeader = nullptr;
            CheckResult(MMSYSERR_NOMEM);
            return false;
        }
    }
    if (pWaveHeader->dwUser != self) {
        // Not our block: forget it, never free or resize it.
        pWaveHeader->lpData = nullptr;
        pWaveHeader->dwBufferLength = 0;
    }
    void* block;
    if (internal) {
        block = pWaveHeader->lpData;
        if (!block || pWaveHeader->dwBufferLength != BufferSize) {
            block = std::realloc(pWaveHeader->lpData, BufferSize);
            if (!block) {
                release();
                CheckResult(MMSYSERR_NOMEM);
                return false;
            }
        }
    } else {
        if (pWaveHeader->dwUser == self) std::free(pWaveHeader->lpData);
        block = Buffer;
    }
    std::memset(pWaveHeader, 0, sizeof(WAVEHDR));
    if (internal) pWaveHeader->dwUser = self;
    pWaveHeader->lpData = static_cast<LPSTR>(block);
    pWaveHeader->dwBufferLength = BufferSize;
    return true;
}

void TWaveAudioIO::ReleaseBuffers() {
    while (!Buffers.empty()) {
        PWAVEHDR header = Buffers.back();
        Buffers.pop_back();
        ResizeBuffer(header, 0, nullptr);
    }
}

// ------------------------------------------------------------ open / close protocol
//
// The handshake of one open, from the owner's call to the device's last
// message (its state is fHandshake, plus fCallback: Active from the open
// call until the close message). Each step below runs under CS.
//
//   closed   -- OpenDeviceWith: callback target, open call --> opening
//   opening  -- open message (DeviceOpened) --------------> open
//   open     -- the data ends (output refill) ------------> ending
//                (Closing: nothing is refilled; what is queued plays out)
//   opening, open, ending
//            -- CloseDeviceWith: reset -------------------> stopping
//                (Closing, Stopped: every queued buffer comes back)
//   ending, stopping
//            -- last buffer back (CloseWhenEmpty) --------> close issued
//   close issued
//            -- close message (DeviceClosed) -------------> closed
//
// A failed reset returns to the state before it. Closing is what the
// handlers look at: queue no more buffers. WaitForStart and
// WaitForStop wait, dispatching this thread's messages, for the open and
// the close message; a callback thread of its own is let go (ReapThread)
// once it has handled the last one.

bool TWaveAudioIO::OpenDeviceWith(const TFormatCall& QueryCall, const TFormatCall& OpenCall) {
    if (fHandshake.Opening()) return false;
    if (fHandshake.Closing()) WaitForStop();
    if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");

    bool result = false;
    std::lock_guard<std::recursive_mutex> guard(CS);
    fHandshake.BeginOpen();
    struct TOpeningEnd {
        TDeviceHandshake& handshake;
        ~TOpeningEnd() { handshake.EndOpen(); }
    } openingEnd{fHandshake};

    PWaveFormatEx pWaveFormat = nullptr;
    bool freeIt = true;
    GetWaveFormat(pWaveFormat, freeIt);
    struct TFormatRelease {
        PWaveFormatEx& format;
        bool& freeIt;
        ~TFormatRelease() {
            if (freeIt && format) FreeWaveFormat(format);
        }
    } formatRelease{pWaveFormat, freeIt};

    // No format supplied: nothing to ask the device about.
    if (!pWaveFormat) return false;
    if (!CheckResult(QueryCall(pWaveFormat))) return false;

    std::memcpy(&WaveFormat, pWaveFormat, 16);
    WaveFormat.cbSize = 0;
    CreateCallbackTarget();
    try {
        result = CheckResult(OpenCall(pWaveFormat));
        if (!result) DestroyCallbackTarget();
    } catch (...) {
        DestroyCallbackTarget();
        result = false;
    }
    return result;
}

bool TWaveAudioIO::CloseDeviceWith(const TDeviceCall& ResetCall, const TDeviceCall& CloseCall,
                                   bool PassExceptions) {
    // A device at the end of its data is closing as well, but it still plays
    // what it holds until that is done: a stop cuts that short. Only a stop
    // already made (or a close already issued) leaves nothing to do.
    if (fHandshake.Stopped()) return false;
    if (fHandshake.Opening()) WaitForStart();
    if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");

    std::lock_guard<std::recursive_mutex> guard(CS);
    if (fHandshake.Stopped() || fHandshake.CloseIssued()) return false;
    bool ending = false;
    try {
        ending = fHandshake.BeginStop();
        if (!CheckResult(ResetCall())) {
            fHandshake.StopFailed(ending);
            return false;
        }
        // With buffers queued, the handler that releases the last one closes
        // the device.
        if (QueuedBufferCount() > 0) return true;
        CloseWhenEmpty(CloseCall);
        return fHandshake.CloseIssued();
    } catch (...) {
        fHandshake.StopFailed(ending);
        if (PassExceptions) throw;
        return false;
    }
}

void TWaveAudioIO::CloseWhenEmpty(const TDeviceCall& CloseCall) {
    if (!fHandshake.Closing() || fHandshake.CloseIssued() || QueuedBufferCount() != 0) return;
    // A request posted before the close may still arrive; the handle is
    // gone by then, so the close must not be made twice.
    fHandshake.CloseCalled(CheckResult(CloseCall()));
}

bool TWaveAudioIO::PauseDeviceWith(const TDeviceCall& PauseCall, std::atomic<bool>& PausedFlag) {
    if (GetPaused()) return false;
    std::lock_guard<std::recursive_mutex> guard(CS);
    if (HasDeviceHandle() && !CheckResult(PauseCall())) return false;
    PausedFlag = true;
    DoPause();
    return true;
}

bool TWaveAudioIO::ResumeDeviceWith(const TDeviceCall& ResumeCall, std::atomic<bool>& PausedFlag) {
    if (!GetPaused()) return false;
    std::lock_guard<std::recursive_mutex> guard(CS);
    if (HasDeviceHandle() && !CheckResult(ResumeCall())) return false;
    PausedFlag = false;
    DoResume();
    return true;
}

void TWaveAudioIO::DeviceOpened() {
    fHandshake.EndOpen();
    QueueInitialBuffers();
    DoActivate();
}

void TWaveAudioIO::DeviceClosed() {
    DoLevel(nullptr, 0);
    ReleaseBuffers();
    DoDeactivate();
    // Last: once Active turns False, a thread waiting for that may destroy
    // this component at once, so after it nothing here calls into the
    // component any more. The target goes before the closing flag: a wait
    // on another thread must never see the device neither closing nor closed
    // (and one that sees neither waits for the callback thread to end).
    fHandshake.ForgetStop();
    DestroyCallbackTarget();
    fHandshake.EndClosing();
}

// ------------------------------------------------------------ waiting

void TWaveAudioIO::WaitForStart() {
    if (fCallback == 0) return;
    if (fThread)
        WaitWhileDispatching([this] { return !fHandshake.Opening(); });
    else
        WaitWhileDispatching([this] { return !fHandshake.Opening() || fCallback == 0; });
}

void TWaveAudioIO::WaitForStop() {
    if (fThread) {
        // Done when no close is running and the thread, if the device has
        // closed, has handled its last message.
        WaitWhileDispatching([this] { return !fHandshake.Closing() && (fCallback != 0 || !ThreadRunning()); });
        if (fCallback == 0) ReapThread();
    } else if (fCallback != 0) {
        WaitWhileDispatching([this] { return fCallback == 0; });
    }
    // A close handler that has just published the close may still be on its
    // way out; it holds the lock until it is done.
    std::lock_guard<std::recursive_mutex> handlerDone(CS);
}

// ------------------------------------------------------------ events and errors

bool TWaveAudioIO::CheckResult(MMRESULT Result) {
    fLastError = Result;
    if (Result == MMSYSERR_NOERROR) return true;
    DoError();
    return false;
}

void TWaveAudioIO::DoActivate() {
    if (OnActivate) OnActivate(this);
}

void TWaveAudioIO::DoDeactivate() {
    if (OnDeactivate && !IsDestroying()) OnDeactivate(this);
}

void TWaveAudioIO::DoPause() {
    if (OnPause) OnPause(this);
}

void TWaveAudioIO::DoResume() {
    if (OnResume) OnResume(this);
}

void TWaveAudioIO::DoError() {
    if (OnError)
        OnError(this);
    else
        throw EWaveAudioSysError(LastErrorText());
}

void TWaveAudioIO::DoLevel(const void* Buffer, uint32_t BufferSize) {
    if (OnLevel && !IsDestroying() && WaveFormat.wFormatTag == WAVE_FORMAT_PCM)
        OnLevel(this, PeakPercent(Buffer, BufferSize, &WaveFormat));
}

void TWaveAudioIO::DoFilter(void* Buffer, uint32_t BufferSize) {
    if (fOnFilter && !IsDestroying()) fOnFilter(this, Buffer, BufferSize);
}

// ------------------------------------------------------------ formats and time

bool TWaveAudioIO::QueryPCM(TPCMFormat PCMFormat) {
    if (PCMFormat == nonePCM || PCMFormat > LastPCMFormat) return false;
    tWAVEFORMATEX format{};
    PCMFormatToWaveFormat(&format, PCMFormat);
    return Query(&format);
}

TWaveDeviceFormats TWaveAudioIO::FormatsFromCaps(uint32_t dwFormats) {
    TWaveDeviceFormats formats{Mono8Bit8000Hz, Stereo8bit8000Hz, Mono16bit8000Hz, Stereo16bit8000Hz};
    for (unsigned k = 0; k < 12; ++k)
        if (dwFormats & (1u << k)) formats.Include(TPCMFormat(k + 5));
    return formats;
}

uint32_t TWaveAudioIO::DeviceTimeToMs(const MMTIME& MMTime) const {
    switch (MMTime.wType) {
        case TIME_MS:
            return MMTime.u.ms;
        case TIME_SAMPLES:
            if (WaveFormat.nSamplesPerSec == 0) return 0;
            return uint32_t(MulDiv(1000, int32_t(MMTime.u.sample), int32_t(WaveFormat.nSamplesPerSec)));
        case TIME_BYTES:
            if (WaveFormat.nAvgBytesPerSec == 0) return 0;
            return uint32_t(MulDiv(1000, int32_t(MMTime.u.cb), int32_t(WaveFormat.nAvgBytesPerSec)));
        case TIME_SMPTE:
            return (uint32_t(MMTime.u.smpte.hour) * 3600 + uint32_t(MMTime.u.smpte.min) * 60 +
                    uint32_t(MMTime.u.smpte.sec)) *
                   1000;
        default:
            return 0;
    }
}

std::string TWaveAudioIO::PlatformText(const char16_t* Text, size_t MaxChars) {
    size_t n = 0;
    while (n < MaxChars && Text[n]) ++n;
    return QString::fromUtf16(Text, qsizetype(n)).toStdString();
}

}  // namespace orvant
