// Helpers for the wave-device tests: a message log fed by a callback target,
// headers with their own blocks, and the standard test format.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wavedev/WaveDev.h"

namespace orvant::test {

inline WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}
inline WAVEFORMATEX Stereo16bit22050Hz() { return Pcm(22050, 2, 16); }

// One message as it arrived, with what the header held at that moment.
struct TLogged {
    UINT msg;
    DWORD_PTR handle;
    WAVEHDR* hdr;
    DWORD bytes;  // dwBytesRecorded for input data, 0 otherwise
    DWORD flags;
};

// A handler that the test thread may set while the callback thread calls it.
class TSharedHandler {
public:
    TSharedHandler& operator=(std::function<void(const TLogged&)> f) {
        std::lock_guard<std::mutex> g(fLock);
        fHandler = std::move(f);
        return *this;
    }
    void operator()(const TLogged& e) {
        std::function<void(const TLogged&)> f;
        {
            std::lock_guard<std::mutex> g(fLock);
            f = fHandler;
        }
        if (f) f(e);
    }

private:
    std::mutex fLock;
    std::function<void(const TLogged&)> fHandler;
};

// Collects the messages of one callback target; `onMessage` may act on each
// (for example queue the buffer again).
class TMessageLog {
public:
    TSharedHandler onMessage;

    void Handle(UINT msg, DWORD_PTR w, DWORD_PTR l) {
        auto* h = reinterpret_cast<WAVEHDR*>(l);
        TLogged e{msg, w, h, h ? h->dwBytesRecorded : 0, h ? h->dwFlags : 0};
        {
            std::lock_guard<std::mutex> g(fLock);
            fLog.push_back(e);
        }
        onMessage(e);
    }
    std::vector<TLogged> Log() const {
        std::lock_guard<std::mutex> g(fLock);
        return fLog;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> g(fLock);
        return fLog.size();
    }
    size_t Count(UINT msg) const {
        std::lock_guard<std::mutex> g(fLock);
        size_t n = 0;
        for (const auto& e : fLog) n += e.msg == msg;
        return n;
    }
    std::vector<UINT> Messages() const {
        std::vector<UINT> m;
        for (const auto& e : Log()) m.push_back(e.msg);
        return m;
    }
    // Waits (dispatching this thread's targets) until `n` messages arrived.
    bool WaitFor(size_t n, DWORD timeoutMs = 20000) {
        return WaitWhileDispatching([&] { return Count() >= n; }, timeoutMs) == WAIT_OBJECT_0;
    }

private:
    mutable std::mutex fLock;
    std::vector<TLogged> fLog;
};

// Deterministic bytes: a counter pattern distinct per seed.
inline std::vector<char> Pattern(size_t n, unsigned seed) {
    std::vector<char> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : v) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return v;
}

// A callback thread feeding a message log; the thread is ended (and waited
// for) when this goes away.
struct TLoggedThread {
    TMessageLog log;
    TCallbackThread* thread =
        TCallbackThread::Start([this](UINT m, DWORD_PTR w, DWORD_PTR l) { log.Handle(m, w, l); });
    TLoggedThread() = default;
    TLoggedThread(const TLoggedThread&) = delete;
    ~TLoggedThread() {
        thread->Quit();
        WaitWhileDispatching([&] { return thread->Finished(); }, 20000);
        thread->Release();
    }
    DWORD_PTR Handle() const { return thread->Handle(); }
};

// WHDR_DONE as a caller without a callback sees it (the device publishes it
// from its own thread).
inline bool IsDone(WAVEHDR& h) {
    return (std::atomic_ref<DWORD>(h.dwFlags).load(std::memory_order_acquire) & WHDR_DONE) != 0;
}

// A header with a block of its own.
struct TBuffer {
    std::vector<char> data;
    WAVEHDR hdr{};
    explicit TBuffer(size_t size, char fill = 0) : data(size, fill) { Wrap(); }
    explicit TBuffer(std::vector<char> bytes) : data(std::move(bytes)) { Wrap(); }
    void Wrap() {
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(data.size());
    }
    TBuffer(const TBuffer&) = delete;
};

// The blocks one after the other.
inline std::vector<char> Concat(std::initializer_list<const TBuffer*> buffers) {
    std::vector<char> all;
    for (const TBuffer* b : buffers) all.insert(all.end(), b->data.begin(), b->data.end());
    return all;
}

}  // namespace orvant::test
