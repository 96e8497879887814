// The common base of the wave input and output devices.
//
// TWaveAudioIO owns what both devices share: the device number, the callback
// mode (a callback window on the opening thread, or a callback thread of its
// own), the buffer geometry and the pool of buffer headers, the open and close
// handshake, error recording and the events. The devices (WaveIn, WaveOut)
// fill in the platform calls.
//
// Device messages reach DispatchDeviceMessage on the opening thread (when it
// dispatches events: its event loop, WaitForStart, WaitForStop) or on the
// callback thread. Every handler runs under the device's re-entrant lock,
// which also serialises OpenDevice, CloseDevice, PauseDevice and ResumeDevice.
//
// Ownership of buffers: each header's dwUser tells who owns its data block.
// dwUser == this device: the engine allocated the block and frees it with the
// header. dwUser == 0: the block belongs to someone else and the engine never
// frees or resizes it.
//
// Destruction: a class that overrides device-message handlers calls
// ShutDown() first thing in its destructor, so the close runs while its
// overrides still exist. The base destructors call it again (a no-op then).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/MMSystem.h"
#include "platform/SysUtils.h"
#include "platform/wavedev/WaveDev.h"
#include "wave/WaveUtils.h"

namespace orvant {

class TWaveAudioIO;

// Events: an empty function is an unassigned event.
using TWaveAudioEvent = std::function<void(TWaveAudioIO* Sender)>;
using TWaveAudioLevelEvent = std::function<void(TWaveAudioIO* Sender, int32_t Level)>;
// The handler may change the bytes in place.
using TWaveAudioFilterEvent = std::function<void(TWaveAudioIO* Sender, void* Buffer, uint32_t BufferSize)>;
// Supplies a format record. Leave FreeIt true when the opener is to free the
// record (it must then come from AllocWaveFormat or CopyWaveFormat); set it
// false to keep ownership.
using TWaveAudioGetFormatEvent =
    std::function<void(TWaveAudioIO* Sender, PWaveFormatEx& pWaveFormat, bool& FreeIt)>;

class EWaveAudioError : public Exception {
public:
    using Exception::Exception;
};
// A failed platform call; the message is the platform's text for the code.
class EWaveAudioSysError : public EWaveAudioError {
public:
    using EWaveAudioError::EWaveAudioError;
};
// A call that is not allowed in the current state.
class EWaveAudioInvalidOperation : public EWaveAudioError {
public:
    using EWaveAudioError::EWaveAudioError;
};

// The application's standard exception display. An exception that escapes a
// device-message handler is handed to it and swallowed. The program sets it
// (the main window shows the message in its error box); without one the
// message goes to stderr. May be called from the callback thread.
using TApplicationExceptionHandler = std::function<void(const std::exception&)>;
void SetApplicationExceptionHandler(TApplicationExceptionHandler Handler);
void ShowApplicationException(const std::exception& E);

// A small set of enumeration values (bit i for value i), for the option and
// capability sets of the devices.
template <class E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> values) {
        for (E v : values) Include(v);
    }
    constexpr bool Contains(E v) const { return (fBits >> unsigned(v)) & 1u; }
    constexpr void Include(E v) { fBits |= 1u << unsigned(v); }
    constexpr void Exclude(E v) { fBits &= ~(1u << unsigned(v)); }
    constexpr bool IsEmpty() const { return fBits == 0; }
    constexpr uint32_t Bits() const { return fBits; }
    friend constexpr bool operator==(TEnumSet a, TEnumSet b) = default;

private:
    uint32_t fBits = 0;
};

// The open/close handshake of one device: its state and the steps that move
// it. Each step is taken under the device's lock; the state may be read
// without it (the waits do). WaveIO.cpp lists the states in their order.
class TDeviceHandshake {
public:
    bool Opening() const { return fOpening; }
    // Ending, stopping or close issued: the handlers queue no more buffers.
    bool Closing() const { return fClosing; }
    // The owner's stop has reset the device in this open.
    bool Stopped() const { return fStopped; }
    // The close call of this open was made; its close message is on the way.
    bool CloseIssued() const { return fCloseIssued; }

    // closed -> opening.
    void BeginOpen() {
        fOpening = true;
        fStopped = false;
        fCloseIssued = false;
    }
    // The open call has returned, or its open message has arrived.
    void EndOpen() { fOpening = false; }
    // open -> ending: no more data (or the device takes no more buffers);
    // what is queued finishes first.
    void BeginEnding() { fClosing = true; }
    // ending -> open, when the step that was to end it failed.
    void CancelEnding() { fClosing = false; }
    // opening, open or ending -> stopping. Returns whether it was ending,
    // for StopFailed.
    bool BeginStop() {
        const bool ending = fClosing;
        fClosing = true;
        fStopped = true;
        return ending;
    }
    // The reset of a stop failed: back to where it was.
    void StopFailed(bool wasEnding) {
        fClosing = wasEnding;
        fStopped = false;
    }
    // ending or stopping -> close issued, when the close call succeeded.
    void CloseCalled(bool succeeded) { fCloseIssued = succeeded; }
    // close issued -> closed, in two steps around the end of the callback
    // target: the stop is forgotten before it (whoever then sees the device
    // inactive and stops it is told it is closed), the closing flag after it
    // (a wait must never see the device neither closing nor closed).
    void ForgetStop() { fStopped = false; }
    void EndClosing() { fClosing = false; }

private:
    std::atomic<bool> fOpening{false};
    std::atomic<bool> fClosing{false};
    std::atomic<bool> fStopped{false};
    bool fCloseIssued = false;
};

class TWaveAudioIO : public TComponent {
public:
    explicit TWaveAudioIO(TComponent* AOwner = nullptr);
    ~TWaveAudioIO() override;

    // Waits, handling this thread's device messages, until a running open
    // has been reported by the device.
    void WaitForStart();
    // Waits, handling this thread's device messages, until a running close
    // has completed. In window mode (Async false) it also waits for an open
    // output device to reach the end of its data; in thread mode it returns
    // at once unless a close is running or the callback thread is still
    // winding down.
    void WaitForStop();

    // True when the device accepts the format; records no error.
    virtual bool Query(const tWAVEFORMATEX* pWaveFormat) = 0;
    // Query for a standard format. nonePCM describes no format: false,
    // without asking the device.
    bool QueryPCM(TPCMFormat PCMFormat);

    bool Active() { return GetActive(); }
    virtual void SetActive(bool Value);
    bool Paused() { return GetPaused(); }
    virtual void SetPaused(bool Value);

    uint32_t DeviceID() const { return fDeviceID; }
    void SetDeviceID(uint32_t Value);
    uint32_t LastError() const { return fLastError; }
    std::string LastErrorText() { return GetErrorText(fLastError); }
    uint32_t NumDevs() { return GetNumDevs(); }
    std::string DeviceName() { return GetDeviceName(); }
    TWaveDeviceFormats DeviceFormats() { return GetDeviceFormats(); }
    uint32_t Position() { return GetPosition(); }

    uint16_t BufferLength() const { return fBufferLength; }
    void SetBufferLength(uint16_t Value) { fBufferLength = Value < 10 ? 10 : Value; }
    uint16_t BufferCount() const { return fBufferCount; }
    void SetBufferCount(uint16_t Value) { fBufferCount = Value; }
    bool Async() const { return fAsync; }
    void SetAsync(bool Value);

    TWaveAudioEvent OnActivate;
    // The last step of a close, just before Active turns False.
    TWaveAudioEvent OnDeactivate;
    TWaveAudioEvent OnPause;
    TWaveAudioEvent OnResume;
    TWaveAudioEvent OnError;
    TWaveAudioLevelEvent OnLevel;

protected:
    // Device-message handlers, each called under the lock.
    virtual void DoWimOpen();
    virtual void DoWimClose();
    virtual void DoWimData(PWAVEHDR pWaveHeader);
    virtual void DoWomOpen();
    virtual void DoWomClose();
    virtual void DoWomDone(PWAVEHDR pWaveHeader);

    virtual uint32_t GetNumDevs() = 0;
    virtual bool GetActive() { return fCallback != 0; }
    virtual bool GetPaused() = 0;
    virtual std::string GetDeviceName() = 0;
    virtual TWaveDeviceFormats GetDeviceFormats() = 0;
    virtual uint32_t GetPosition() = 0;
    virtual std::string GetErrorText(uint32_t ErrorCode) = 0;
    // Supplies the format to open with. pWaveFormat comes in as nullptr and
    // FreeIt as true; a provider that leaves pWaveFormat nullptr supplies no
    // format, and the open then returns false without touching the device.
    // With FreeIt true the opener frees the record with FreeWaveFormat.
    virtual void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) = 0;
    virtual MMRESULT CheckDeviceID(uint32_t DeviceID) = 0;
    virtual bool OpenDevice() = 0;
    virtual bool CloseDevice() = 0;
    virtual bool PauseDevice() = 0;
    virtual bool ResumeDevice() = 0;
    virtual bool HasDeviceHandle() = 0;
    virtual void QueueInitialBuffers() = 0;
    virtual void ReleaseBuffers();
    virtual void DeviceOpened();
    virtual void DeviceClosed();
    virtual void DoActivate();
    virtual void DoDeactivate();
    virtual void DoPause();
    virtual void DoResume();
    // OnError when assigned; otherwise raises EWaveAudioSysError with
    // LastErrorText.
    virtual void DoError();
    // OnLevel with the peak of the bytes (PCM formats only); nullptr and 0
    // report level 0.
    virtual void DoLevel(const void* Buffer, uint32_t BufferSize);
    virtual void DoFilter(void* Buffer, uint32_t BufferSize);

    void Lock() { CS.lock(); }
    void Unlock() { CS.unlock(); }
    // Records a platform result in LastError: true for 0; otherwise DoError
    // (which may raise) and false.
    bool CheckResult(MMRESULT Result);
    void CreateCallbackTarget();
    void DestroyCallbackTarget();
    // Posts a device message to the own callback target (nothing when there
    // is none or it no longer takes messages).
    void ForwardDeviceMessage(uint32_t Msg, uintptr_t Param);
    // Runs the handler of one of the six device messages under the lock;
    // false for any other message. An exception that escapes the handler is
    // shown with ShowApplicationException and swallowed.
    bool DispatchDeviceMessage(uint32_t Msg, uintptr_t Param);
    // The single place where headers and engine-owned blocks are allocated,
    // resized, rewrapped or freed. BufferSize 0 releases the header (and its
    // block when the engine owns it). Otherwise Buffer nullptr gives the
    // header an engine-owned block of BufferSize bytes (kept when the size
    // already fits), and a caller's Buffer is wrapped without taking it over.
    // A new header is made when pWaveHeader is nullptr. The header comes back
    // zeroed apart from the block (so no longer marked prepared). False when
    // memory runs out: LastError 7, DoError, and the header released.
    bool ResizeBuffer(PWAVEHDR& pWaveHeader, uint32_t BufferSize, void* Buffer);
    uint16_t QueuedBufferCount() const { return uint16_t(Buffers.size()); }
    uint32_t BufferSizeForFormat() const { return BufferBytesForMs(&WaveFormat, fBufferLength); }
    // A device time record in milliseconds, in whatever type it came.
    uint32_t DeviceTimeToMs(const MMTIME& MMTime) const;
    // The standard formats a capability record's format bits describe: the
    // four 8000 Hz formats always, bit k (0..11) adds format k + 5.
    static TWaveDeviceFormats FormatsFromCaps(uint32_t dwFormats);
    // UTF-8 of a zero-terminated text of the platform.
    static std::string PlatformText(const char16_t* Text, size_t MaxChars);

    // The shared open/close/pause/resume protocol; the devices pass their
    // platform calls.
    using TFormatCall = std::function<MMRESULT(const tWAVEFORMATEX* pWaveFormat)>;
    using TDeviceCall = std::function<MMRESULT()>;
    bool OpenDeviceWith(const TFormatCall& QueryCall, const TFormatCall& OpenCall);
    bool CloseDeviceWith(const TDeviceCall& ResetCall, const TDeviceCall& CloseCall, bool PassExceptions);
    // Issues the device's close call once the last buffer of a closing device
    // is gone (and only once per open).
    void CloseWhenEmpty(const TDeviceCall& CloseCall);
    bool PauseDeviceWith(const TDeviceCall& PauseCall, std::atomic<bool>& PausedFlag);
    bool ResumeDeviceWith(const TDeviceCall& ResumeCall, std::atomic<bool>& PausedFlag);

    // Closes an open device and waits for the close to complete, without
    // OnDeactivate; for destructors. Marks the component as being destroyed
    // and swallows exceptions.
    void ShutDown() noexcept;

    bool fAsync = false;
    uint32_t fDeviceID = WAVE_MAPPER;
    // Written by handlers on the callback thread, read by the owner.
    std::atomic<uint32_t> fLastError{0};
    uint16_t fBufferLength = 1000;
    // Read by the refills on the callback thread, set by the owner.
    std::atomic<uint16_t> fBufferCount{2};
    TDeviceHandshake fHandshake;
    // Non-zero from the open call until the close message (Active); read
    // without the lock by the waits and by Active.
    std::atomic<uintptr_t> fCallback{0};
    uint32_t fCallbackType = 0;
    TWaveAudioFilterEvent fOnFilter;

    // Every header allocated by this device, queued or not.
    std::vector<PWAVEHDR> Buffers;
    std::recursive_mutex CS;
    // The format the device was opened with (cbSize stays 0).
    tWAVEFORMATEX WaveFormat{};

private:
    void NotifyWindowProc(UINT Msg, DWORD_PTR WParam, DWORD_PTR LParam);
    // True while the callback thread of an earlier open still runs.
    bool ThreadRunning() const;
    // Lets go of a callback thread that has ended (waits for it to end).
    void ReapThread();

    TCallbackWindow* fWindow = nullptr;
    // Kept until the thread has ended, also after the device closed, so that
    // WaitForStop and the destructor can wait for its last handler.
    TCallbackThread* fThread = nullptr;
};

}  // namespace orvant
