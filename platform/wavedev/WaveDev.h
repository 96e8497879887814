// Wave-audio device services: the waveIn.../waveOut... operations with their
// result codes, buffer headers, device time, capability records and the six
// device messages, plus the message layer that carries those messages to a
// callback window (bound to the opening thread) or a callback thread.
//
// The operations are served by a backend (ALSA by default; a simulated device
// that tests install in-process, see WaveBackend.h and sim/SimWaveBackend.h).
// Every handle passed in is checked: a stale or foreign handle gives
// MMSYSERR_INVALHANDLE, never a crash.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <type_traits>

#include "platform/MMSystem.h"

namespace orvant {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using UINT_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using LPSTR = char*;
using MMVERSION = UINT;

// ---------------------------------------------------------------------------
// Handles. Opaque; 0 (nullptr) is "no device".
struct HWAVEIN__;
struct HWAVEOUT__;
using HWAVEIN = HWAVEIN__*;
using HWAVEOUT = HWAVEOUT__*;
using LPHWAVEIN = HWAVEIN*;
using LPHWAVEOUT = HWAVEOUT*;

// ---------------------------------------------------------------------------
// Result codes.
enum : MMRESULT {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,         // unspecified error
    MMSYSERR_BADDEVICEID = 2,   // device number out of range
    MMSYSERR_NOTENABLED = 3,    // driver failed enable
    MMSYSERR_ALLOCATED = 4,     // device already allocated (busy)
    MMSYSERR_INVALHANDLE = 5,   // device handle is invalid
    MMSYSERR_NODRIVER = 6,      // no device driver present
    MMSYSERR_NOMEM = 7,         // memory allocation error
    MMSYSERR_NOTSUPPORTED = 8,  // function isn't supported
    MMSYSERR_BADERRNUM = 9,     // error value out of range
    MMSYSERR_INVALFLAG = 10,    // invalid flag passed
    MMSYSERR_INVALPARAM = 11,   // invalid parameter passed
    MMSYSERR_HANDLEBUSY = 12,   // handle in use by another thread
    MMSYSERR_INVALIDALIAS = 13,
    MMSYSERR_BADDB = 14,
    MMSYSERR_KEYNOTFOUND = 15,
    MMSYSERR_READERROR = 16,
    MMSYSERR_WRITEERROR = 17,
    MMSYSERR_DELETEERROR = 18,
    MMSYSERR_VALNOTFOUND = 19,
    MMSYSERR_NODRIVERCB = 20,
    MMSYSERR_MOREDATA = 21,
    MMSYSERR_LASTERROR = 21,

    WAVERR_BASE = 32,
    WAVERR_BADFORMAT = 32,     // unsupported wave format
    WAVERR_STILLPLAYING = 33,  // still something playing / header still queued
    WAVERR_UNPREPARED = 34,    // header not prepared
    WAVERR_SYNC = 35,          // device is synchronous
    WAVERR_LASTERROR = 35,
};

// Longest error text the platform produces, terminating zero included.
constexpr UINT MAXERRORLENGTH = 256;

// ---------------------------------------------------------------------------
// Buffer header. On the original platform it is 32 bytes; here the pointer
// members make it larger, so the size arguments of the header calls accept
// any value of at least 32 (pass sizeof(WAVEHDR)).
struct wavehdr_tag {
    LPSTR lpData;             // data block
    DWORD dwBufferLength;     // length of the block in bytes
    DWORD dwBytesRecorded;    // input: bytes filled
    DWORD_PTR dwUser;         // free for the caller
    DWORD dwFlags;            // WHDR_*
    DWORD dwLoops;            // loop count (output, on the WHDR_BEGINLOOP header)
    wavehdr_tag* lpNext;      // used by the device layer while queued
    DWORD_PTR reserved;       // used by the device layer while queued
};
using WAVEHDR = wavehdr_tag;
using PWAVEHDR = WAVEHDR*;
using LPWAVEHDR = WAVEHDR*;
using PWaveHdr = WAVEHDR*;

enum : DWORD {
    WHDR_DONE = 0x00000001,       // returned by the device
    WHDR_PREPARED = 0x00000002,   // prepared with ...PrepareHeader
    WHDR_BEGINLOOP = 0x00000004,  // first header of a loop
    WHDR_ENDLOOP = 0x00000008,    // last header of a loop
    WHDR_INQUEUE = 0x00000010,    // queued on the device
};

// ---------------------------------------------------------------------------
// Device time: 12 bytes (wType, then an 8-byte union).
enum : UINT {
    TIME_MS = 0x0001,
    TIME_SAMPLES = 0x0002,
    TIME_BYTES = 0x0004,
    TIME_SMPTE = 0x0008,
    TIME_MIDI = 0x0010,
    TIME_TICKS = 0x0020,
};

struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};
using MMTIME = mmtime_tag;
using PMMTIME = MMTIME*;
using LPMMTIME = MMTIME*;
static_assert(sizeof(MMTIME) == 12, "device time record is 12 bytes");

// ---------------------------------------------------------------------------
// Capability records. The name holds up to 31 characters and a zero.
constexpr int MAXPNAMELEN = 32;

struct WAVEINCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    DWORD dwFormats;  // WAVE_FORMAT_1M08 ...
    WORD wChannels;
    WORD wReserved1;
};
static_assert(sizeof(WAVEINCAPSW) == 80, "input capability record is 80 bytes");

struct WAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    DWORD dwFormats;  // WAVE_FORMAT_1M08 ...
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;  // WAVECAPS_*
};
static_assert(sizeof(WAVEOUTCAPSW) == 84, "output capability record is 84 bytes");

// Standard format bits of dwFormats: 1/2/4 = 11025/22050/44100 Hz,
// M/S = mono/stereo, 08/16 = bits.
enum : DWORD {
    WAVE_INVALIDFORMAT = 0x00000000,
    WAVE_FORMAT_1M08 = 0x00000001,
    WAVE_FORMAT_1S08 = 0x00000002,
    WAVE_FORMAT_1M16 = 0x00000004,
    WAVE_FORMAT_1S16 = 0x00000008,
    WAVE_FORMAT_2M08 = 0x00000010,
    WAVE_FORMAT_2S08 = 0x00000020,
    WAVE_FORMAT_2M16 = 0x00000040,
    WAVE_FORMAT_2S16 = 0x00000080,
    WAVE_FORMAT_4M08 = 0x00000100,
    WAVE_FORMAT_4S08 = 0x00000200,
    WAVE_FORMAT_4M16 = 0x00000400,
    WAVE_FORMAT_4S16 = 0x00000800,
    WAVE_FORMAT_48M08 = 0x00001000,
    WAVE_FORMAT_48S08 = 0x00002000,
    WAVE_FORMAT_48M16 = 0x00004000,
    WAVE_FORMAT_48S16 = 0x00008000,
    WAVE_FORMAT_96M08 = 0x00010000,
    WAVE_FORMAT_96S08 = 0x00020000,
    WAVE_FORMAT_96M16 = 0x00040000,
    WAVE_FORMAT_96S16 = 0x00080000,
};

// Output support bits of dwSupport.
enum : DWORD {
    WAVECAPS_PITCH = 0x0001,
    WAVECAPS_PLAYBACKRATE = 0x0002,
    WAVECAPS_VOLUME = 0x0004,
    WAVECAPS_LRVOLUME = 0x0008,
    WAVECAPS_SYNC = 0x0010,
    WAVECAPS_SAMPLEACCURATE = 0x0020,
};

// ---------------------------------------------------------------------------
// Open flags and device numbers.
enum : DWORD {
    CALLBACK_TYPEMASK = 0x00070000,
    CALLBACK_NULL = 0x00000000,    // no messages
    CALLBACK_WINDOW = 0x00010000,  // dwCallback is a TCallbackWindow*
    CALLBACK_TASK = 0x00020000,
    CALLBACK_THREAD = 0x00020000,  // dwCallback is a TCallbackThread*
    CALLBACK_FUNCTION = 0x00030000,  // not supported: MMSYSERR_INVALFLAG
    CALLBACK_EVENT = 0x00050000,     // not supported: MMSYSERR_INVALFLAG

    WAVE_FORMAT_QUERY = 0x0001,  // only ask whether the format is accepted
    WAVE_ALLOWSYNC = 0x0002,
    WAVE_MAPPED = 0x0004,
    WAVE_FORMAT_DIRECT = 0x0008,
};

// The wave mapper: the system's default device.
constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Device messages. wParam = the device handle, lParam = the WAVEHDR* for
// MM_WOM_DONE / MM_WIM_DATA, 0 for open and close.
enum : UINT {
    WM_QUIT = 0x0012,
    MM_WOM_OPEN = 0x3BB,
    MM_WOM_CLOSE = 0x3BC,
    MM_WOM_DONE = 0x3BD,
    MM_WIM_OPEN = 0x3BE,
    MM_WIM_CLOSE = 0x3BF,
    MM_WIM_DATA = 0x3C0,
};

// Results of WaitWhileDispatching.
enum : DWORD {
    WAIT_OBJECT_0 = 0,      // the condition became true
    WAIT_TIMEOUT = 258,     // the time ran out first
};
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Input.
UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsW(UINT_PTR uDeviceID, WAVEINCAPSW* pwic, UINT cbwic);
MMRESULT waveInGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText);
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID);

// Output.
UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsW(UINT_PTR uDeviceID, WAVEOUTCAPSW* pwoc, UINT cbwoc);
MMRESULT waveOutGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText);
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutBreakLoop(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD* pdwPitch);
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch);
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD* pdwRate);
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate);
MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume);
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT waveOutGetID(HWAVEOUT hwo, UINT* puDeviceID);

// ---------------------------------------------------------------------------
// Message layer.
//
// A callback target receives device messages (and anything posted with
// Post) in a queue and hands them, in the order they were posted, to its
// handler on the target's own thread:
//  - TCallbackWindow belongs to the thread that created it. Its messages are
//    handled whenever that thread runs Qt's event loop (exec, processEvents)
//    or waits in WaitWhileDispatching / DispatchDeviceMessages.
//  - TCallbackThread is a thread of its own, one step above normal priority
//    where the system allows it, with its own queue. It runs until Quit() is
//    posted (after the messages before it are handled) and then ends itself.
// The pointer of a target, cast to DWORD_PTR, is the dwCallback argument of
// waveInOpen / waveOutOpen with CALLBACK_WINDOW or CALLBACK_THREAD.
//
// Lifetime: targets are reference counted. Create/Start return a target with
// one reference owned by the caller; an open device holds another until it has
// posted its close message; a target being dispatched holds one for the
// duration of the handler. Destroy() (window) and Quit() (thread) are safe from
// inside the target's own handler.

// Handler of one message: (message, wParam, lParam). For the device messages
// wParam is the device handle and lParam the WAVEHDR* (or 0).
using TDeviceMessageHandler = std::function<void(UINT msg, DWORD_PTR wParam, DWORD_PTR lParam)>;

class TCallbackTarget {
public:
    TCallbackTarget(const TCallbackTarget&) = delete;
    TCallbackTarget& operator=(const TCallbackTarget&) = delete;

    // Queues a message for the handler; thread-safe, never dispatches
    // synchronously. False once the target no longer takes messages (window
    // destroyed, thread told to quit).
    bool Post(UINT msg, DWORD_PTR wParam, DWORD_PTR lParam);

    // The value to pass as dwCallback, and back.
    DWORD_PTR Handle() const { return reinterpret_cast<DWORD_PTR>(this); }
    // The live target with that handle, or nullptr.
    static TCallbackTarget* FromHandle(DWORD_PTR handle);

    void AddRef();
    void Release();

    // Number of messages waiting to be handled.
    size_t PendingCount() const;

    virtual bool IsThread() const = 0;

protected:
    explicit TCallbackTarget(TDeviceMessageHandler handler);
    virtual ~TCallbackTarget();
    struct TImpl;
    TImpl* fImpl;
    friend struct TMessageLayer;
};

class TCallbackWindow final : public TCallbackTarget {
public:
    // A window bound to the calling thread.
    static TCallbackWindow* Create(TDeviceMessageHandler handler);
    // Stops taking messages, drops those still queued and gives up the
    // creator's reference. Call on the owner thread.
    void Destroy();
    bool IsThread() const override { return false; }

private:
    using TCallbackTarget::TCallbackTarget;
    ~TCallbackWindow() override;
    struct TQtHook;
    TQtHook* fQt = nullptr;
    friend class TCallbackTarget;
    friend struct TMessageLayer;
};

class TCallbackThread final : public TCallbackTarget {
public:
    // Starts the thread; its queue exists before Start returns, so messages
    // can be posted at once.
    static TCallbackThread* Start(TDeviceMessageHandler handler);
    // Posts WM_QUIT: the thread handles what was posted before, then ends.
    // Later posts fail. Does not give up the caller's reference.
    void Quit();
    // True once the thread's loop has ended (after WM_QUIT).
    bool Finished() const;
    // True when the thread runs one step above normal priority (needs the
    // right to raise priority; otherwise it runs at normal priority).
    bool PriorityRaised() const;
    // The kernel thread id, 0 before the thread has started.
    long ThreadId() const;
    bool IsThread() const override { return true; }

private:
    using TCallbackTarget::TCallbackTarget;
    ~TCallbackThread() override;
    void Run();
    struct TThreadState;
    TThreadState* fThread = nullptr;
    friend class TCallbackTarget;
};

// Non-owning reference to a condition (any callable returning bool).
class TWaitCondition {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TWaitCondition>>>
    TWaitCondition(F&& f) noexcept  // NOLINT(google-explicit-constructor)
        : fCtx(const_cast<void*>(static_cast<const void*>(&f))),
          fCall([](void* c) -> bool { return (*static_cast<std::remove_reference_t<F>*>(c))(); }) {}
    bool operator()() const { return fCall(fCtx); }

private:
    void* fCtx;
    bool (*fCall)(void*);
};

// Waits until done() is true or timeoutMs have passed (INFINITE: no limit).
// Meanwhile it handles the device messages of every callback target that
// belongs to the calling thread (its callback windows; inside a callback
// thread, that thread's own queue) and nothing else: no keyboard or mouse
// input, no other events of Qt's loop. The condition is checked before the
// wait, after every handled message, whenever a callback thread has handled a
// message, after WakeWaiters(), and at least every 100 ms. Sleeps otherwise.
// Returns WAIT_OBJECT_0 when done() held, WAIT_TIMEOUT when the time ran out.
// Inside a callback thread a WM_QUIT taken by the wait ends the wait
// (WAIT_OBJECT_0) and then the thread.
DWORD WaitWhileDispatching(TWaitCondition done, DWORD timeoutMs = INFINITE);

// Handles the device messages already queued for the calling thread's
// targets, without waiting. Returns how many were handled.
int DispatchDeviceMessages();

// Wakes every WaitWhileDispatching so it checks its condition again. For a
// condition changed outside a message handler.
void WakeWaiters();

// Called with an exception that escaped a message handler (the handler should
// catch its own; this is the last resort). The default drops it. Returns the
// previous hook.
using TMessageExceptionHook = std::function<void(std::exception_ptr)>;
TMessageExceptionHook SetMessageExceptionHook(TMessageExceptionHook hook);

}  // namespace orvant
