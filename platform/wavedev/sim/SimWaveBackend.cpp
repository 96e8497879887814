// The simulated wave devices.
//
// Device time is a microsecond count: driven by Advance(), or read from the
// steady clock. A stream turns time into frames by the absolute frame index
// floor(t * rate / 1e6), so any split of the same total time gives the same
// frames. Input frames come into being as time passes and wait to be read;
// output frames written wait to be played and are played as time passes
// (nothing plays while paused or when nothing is pending).

#include "platform/wavedev/sim/SimWaveBackend.h"

#include "platform/wavedev/WaveDevInternal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

namespace orvant {

namespace {

uint64_t SteadyUs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

enum class TSource { Silence, Sine, Wave, Raw };

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Finds the format and the data of a RIFF WAVE image. False when it is not one.
bool ParseWave(const std::vector<uint8_t>& img, WAVEFORMATEX& fmt, size_t& dataOff, size_t& dataLen) {
    if (img.size() < 12 || std::memcmp(img.data(), "RIFF", 4) != 0 || std::memcmp(img.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFmt = false;
    size_t pos = 12;
    while (pos + 8 <= img.size()) {
        const uint8_t* c = img.data() + pos;
        const size_t len = Le32(c + 4);
        const size_t body = pos + 8;
        if (std::memcmp(c, "fmt ", 4) == 0 && len >= 16 && body + 16 <= img.size()) {
            fmt.wFormatTag = Le16(img.data() + body);
            fmt.nChannels = Le16(img.data() + body + 2);
            fmt.nSamplesPerSec = Le32(img.data() + body + 4);
            fmt.nAvgBytesPerSec = Le32(img.data() + body + 8);
            fmt.nBlockAlign = Le16(img.data() + body + 12);
            fmt.wBitsPerSample = Le16(img.data() + body + 14);
            fmt.cbSize = 0;
            haveFmt = true;
        } else if (std::memcmp(c, "data", 4) == 0 && haveFmt) {
            dataOff = body;
            dataLen = std::min(len, img.size() - body);
            return true;
        }
        pos = body + len + (len & 1);
    }
    return false;
}

bool DefaultAccepts(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           (f.nChannels == 1 || f.nChannels == 2) && f.nSamplesPerSec >= 8000 && f.nSamplesPerSec <= 96000;
}

}  // namespace

struct TSimWaveBackend::TState {
    std::mutex m;
    std::condition_variable cv;
    TSimClockMode mode;
    uint64_t drivenUs = 0;
    uint64_t realStartUs = SteadyUs();
    uint64_t generation = 0;

    std::vector<TWaveDeviceInfo> inputs, outputs;
    std::function<bool(const WAVEFORMATEX&)> accepts = DefaultAccepts;
    uint32_t bufferMs = 200;
    uint32_t inputLatencyMs = 0;

    TSource source = TSource::Silence;
    double sineHz = 440, sineAmp = 0.5;
    std::vector<uint8_t> sourceBytes;  // whole image (Wave) or raw bytes

    bool keepOutput = true;
    std::vector<TSimOutputBlock> played;
    uint64_t playedFrames = 0, capturedFrames = 0;

    TSimFaults faults;
    int openStreams = 0;

    // What Settled asks of every open stream.
    struct TProbe {
        virtual bool CaughtUp() const = 0;

    protected:
        ~TProbe() = default;
    };
    std::vector<const TProbe*> probes;

    uint64_t NowUs() const { return mode == TSimClockMode::scmDriven ? drivenUs : SteadyUs() - realStartUs; }
    void Changed() {
        ++generation;
        cv.notify_all();
    }
};

namespace {

class TSimStream final : public TWaveBackendStream, TSimWaveBackend::TState::TProbe {
public:
    TSimStream(std::shared_ptr<TSimWaveBackend::TState> st, TWaveDirection dir, const WAVEFORMATEX& fmt)
        : fSt(std::move(st)), fDir(dir), fFmt(fmt), fBlock(fmt.nBlockAlign), fRate(fmt.nSamplesPerSec) {
        std::lock_guard<std::mutex> g(fSt->m);
        ++fSt->openStreams;
        fSt->probes.push_back(this);
        fLastFrame = ClockFrame(fSt->NowUs());
        fSource = fSt->source;
        fSineHz = fSt->sineHz;
        fSineAmp = fSt->sineAmp;
        if (fSource == TSource::Wave) {
            WAVEFORMATEX wf{};
            size_t off = 0, len = 0;
            ParseWave(fSt->sourceBytes, wf, off, len);
            fData.assign(fSt->sourceBytes.begin() + static_cast<std::ptrdiff_t>(off),
                         fSt->sourceBytes.begin() + static_cast<std::ptrdiff_t>(off + len));
        } else if (fSource == TSource::Raw) {
            fData = fSt->sourceBytes;
        }
        fKeep = fSt->keepOutput;
        fLatency = static_cast<uint64_t>(fSt->inputLatencyMs) * fRate / 1000;
    }
    ~TSimStream() override {
        std::lock_guard<std::mutex> g(fSt->m);
        --fSt->openStreams;
        std::erase(fSt->probes, static_cast<const TProbe*>(this));
        fSt->Changed();
    }

    MMRESULT Start() override {
        std::lock_guard<std::mutex> g(fSt->m);
        if (fDir == TWaveDirection::wdInput && fSt->faults.start) return fSt->faults.start;
        if (fDir == TWaveDirection::wdInput && !fCapturing) {
            fCapturing = true;
            fLastFrame = ClockFrame(fSt->NowUs());
            fAvail = 0;
            fSinceStart = 0;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Read(void* data, uint32_t frames, uint32_t& done) override {
        std::lock_guard<std::mutex> g(fSt->m);
        done = 0;
        Update();
        if (MMRESULT r = IoFault(frames)) return r;
        // The last fLatency frames captured are still on their way.
        const uint64_t inFlight = std::min(fAvail, std::min(fLatency, fSinceStart));
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frames, fAvail - inFlight));
        Generate(static_cast<uint8_t*>(data), n);
        fAvail -= n;
        fSourceFrame += n;
        fMoved += n;
        done = n;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(const void* data, uint32_t frames, uint32_t& done) override {
        std::lock_guard<std::mutex> g(fSt->m);
        done = 0;
        Update();
        if (MMRESULT r = IoFault(frames)) return r;
        uint64_t room = frames;
        if (fSt->mode == TSimClockMode::scmRealTime) {
            const uint64_t cap = static_cast<uint64_t>(fSt->bufferMs) * fRate / 1000;
            room = cap > fPending ? cap - fPending : 0;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frames, room));
        if (n == 0) return MMSYSERR_NOERROR;
        if (fPending == 0 && !fPaused) fLastFrame = ClockFrame(fSt->NowUs());  // the device was idle
        if (fKeep) {
            const auto* p = static_cast<const uint8_t*>(data);
            fQueue.push_back(TPendingBlock{std::vector<uint8_t>(p, p + static_cast<size_t>(n) * fBlock), 0, SIZE_MAX});
        }
        fPending += n;
        fMoved += n;
        done = n;
        return MMSYSERR_NOERROR;
    }

    void Wait(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> g(fSt->m);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (fSt->mode == TSimClockMode::scmDriven) {
            // Against the state this thread last looked at: a change since
            // (the clock moved between that look and this wait) ends the wait
            // at once. Other threads' looks (a position asked for) do not count.
            fIoThread = std::this_thread::get_id();
            const uint64_t gen = fSeenGeneration;
            fSeenGeneration = fSt->generation;
            fWaiting = true;
            fSt->cv.wait_until(g, until, [&] { return fInterrupted || fSt->generation != gen; });
            fWaiting = false;
        } else {
            // Real time: look again after one period.
            const auto period = std::chrono::microseconds(1000000ull * PeriodFrames() / fRate);
            fSt->cv.wait_until(g, std::min(until, std::chrono::steady_clock::now() + period),
                               [&] { return fInterrupted; });
        }
        fInterrupted = false;
    }

    void Interrupt() override {
        std::lock_guard<std::mutex> g(fSt->m);
        fInterrupted = true;
        fSt->cv.notify_all();
    }

    void Drop() override {
        std::lock_guard<std::mutex> g(fSt->m);
        Update();
        if (fDir == TWaveDirection::wdInput) {
            fSourceFrame += fAvail;  // captured and lost
            fAvail = 0;
            fCapturing = false;
        } else {
            fPending = 0;
            fQueue.clear();
        }
    }

    uint32_t Delay() override {
        std::lock_guard<std::mutex> g(fSt->m);
        Update();
        return static_cast<uint32_t>(fDir == TWaveDirection::wdInput ? fAvail : fPending);
    }

    bool Pause(bool pause) override {
        std::lock_guard<std::mutex> g(fSt->m);
        if (fSt->faults.noPause) return false;
        Update();
        fPaused = pause;
        return true;
    }

    uint32_t PeriodFrames() const override { return std::max<uint32_t>(1, fRate / 50); }

    // Under the backend's lock. A stream that captures, or has frames to
    // play, has work whenever the clock moves: it is caught up once its I/O
    // thread has looked since and sleeps again, with nothing to wake it.
    bool CaughtUp() const override {
        const bool clocked = fDir == TWaveDirection::wdInput ? fCapturing : !fPaused && fPending > 0;
        return !clocked || (fWaiting && !fInterrupted && fSeenGeneration == fSt->generation);
    }

    MMRESULT PrepareHeader(const WAVEHDR&) override {
        std::lock_guard<std::mutex> g(fSt->m);
        return fSt->faults.prepare;
    }
    MMRESULT SubmitHeader(const WAVEHDR&) override {
        std::lock_guard<std::mutex> g(fSt->m);
        return fSt->faults.submit;
    }

private:
    struct TPendingBlock {
        std::vector<uint8_t> bytes;
        size_t off;
        size_t playedIndex;  // index in the backend's played list, once started
    };

    uint64_t ClockFrame(uint64_t us) const { return us * fRate / 1000000u; }

    MMRESULT IoFault(uint32_t frames) {
        const TSimFaults& f = fSt->faults;
        if (f.io && fMoved + frames > f.ioAfterFrames && fMoved >= f.ioAfterFrames) return f.io;
        return MMSYSERR_NOERROR;
    }

    // Lets the time since the last look pass on the device.
    void Update() {
        if (std::this_thread::get_id() == fIoThread) fSeenGeneration = fSt->generation;
        const uint64_t now = fSt->NowUs();
        const uint64_t frame = ClockFrame(now);
        if (frame <= fLastFrame) return;
        uint64_t elapsed = frame - fLastFrame;
        const uint64_t firstFrame = fLastFrame;
        fLastFrame = frame;
        if (fDir == TWaveDirection::wdInput) {
            if (!fCapturing) return;
            fAvail += elapsed;
            fSinceStart += elapsed;
            fSt->capturedFrames += elapsed;
            // Real devices overrun after a while; the driven one keeps it all.
            if (fSt->mode == TSimClockMode::scmRealTime) {
                const uint64_t cap = 10ull * fRate;
                if (fAvail > cap) {
                    fSourceFrame += fAvail - cap;
                    fAvail = cap;
                }
            }
            return;
        }
        if (fPaused || fPending == 0) return;
        const uint64_t play = std::min(elapsed, fPending);
        fPending -= play;
        fSt->playedFrames += play;
        if (!fKeep) return;
        uint64_t left = play;
        uint64_t at = firstFrame;
        while (left > 0 && !fQueue.empty()) {
            TPendingBlock& b = fQueue.front();
            if (b.playedIndex == SIZE_MAX) {
                b.playedIndex = fSt->played.size();
                fSt->played.push_back(TSimOutputBlock{at * 1000000u / fRate, {}});
            }
            const size_t frames = std::min<uint64_t>(left, (b.bytes.size() - b.off) / fBlock);
            auto& out = fSt->played[b.playedIndex].bytes;
            out.insert(out.end(), b.bytes.begin() + static_cast<std::ptrdiff_t>(b.off),
                       b.bytes.begin() + static_cast<std::ptrdiff_t>(b.off + frames * fBlock));
            b.off += frames * fBlock;
            left -= frames;
            at += frames;
            if (b.off >= b.bytes.size()) fQueue.pop_front();
        }
    }

    void Generate(uint8_t* out, uint32_t frames) {
        const size_t bytes = static_cast<size_t>(frames) * fBlock;
        const bool eight = fFmt.wBitsPerSample == 8;
        if (fSource == TSource::Wave || fSource == TSource::Raw) {
            const size_t from = static_cast<size_t>(fSourceFrame) * fBlock;
            const size_t have = from < fData.size() ? std::min(bytes, fData.size() - from) : 0;
            if (have) std::memcpy(out, fData.data() + from, have);
            std::memset(out + have, eight ? 0x80 : 0, bytes - have);
            return;
        }
        if (fSource == TSource::Silence) {
            std::memset(out, eight ? 0x80 : 0, bytes);
            return;
        }
        const int ch = fFmt.nChannels;
        for (uint32_t f = 0; f < frames; ++f) {
            const double t = static_cast<double>(fSourceFrame + f) / fRate;
            const double v = fSineAmp * std::sin(2 * M_PI * fSineHz * t);
            for (int c = 0; c < ch; ++c) {
                uint8_t* p = out + static_cast<size_t>(f) * fBlock + static_cast<size_t>(c) * (eight ? 1 : 2);
                if (eight) {
                    *p = static_cast<uint8_t>(128 + std::lround(v * 127));
                } else {
                    const auto s = static_cast<int16_t>(std::lround(v * 32767));
                    p[0] = static_cast<uint8_t>(s & 0xFF);
                    p[1] = static_cast<uint8_t>((s >> 8) & 0xFF);
                }
            }
        }
    }

    std::shared_ptr<TSimWaveBackend::TState> fSt;
    TWaveDirection fDir;
    WAVEFORMATEX fFmt;
    uint32_t fBlock, fRate;
    uint64_t fLastFrame = 0;
    bool fInterrupted = false;
    // The thread that sleeps in Wait (the device's I/O thread), the state's
    // generation when it last looked, and whether it sleeps now.
    std::thread::id fIoThread;
    uint64_t fSeenGeneration = UINT64_MAX;
    bool fWaiting = false;
    uint64_t fMoved = 0;
    // input
    bool fCapturing = false;
    uint64_t fAvail = 0;       // captured and not read, in flight included
    uint64_t fLatency = 0;     // frames between capture and delivery
    uint64_t fSinceStart = 0;  // frames captured since the last start
    uint64_t fSourceFrame = 0;
    TSource fSource;
    double fSineHz, fSineAmp;
    std::vector<uint8_t> fData;
    // output
    bool fKeep;
    bool fPaused = false;
    uint64_t fPending = 0;
    std::deque<TPendingBlock> fQueue;
};

DWORD FormatBits(const std::function<bool(const WAVEFORMATEX&)>& accepts) {
    DWORD bits = 0;
    for (int bit = 0; bit < kStandardFormatBits; ++bit)
        if (accepts(StandardFormat(bit))) bits |= 1u << bit;
    return bits;
}

}  // namespace

TSimWaveBackend::TSimWaveBackend(TSimClockMode mode) : fMode(mode), fState(std::make_shared<TState>()) {
    fState->mode = mode;
    TWaveDeviceInfo in{"Simulated Input", 0, 2, 0};
    TWaveDeviceInfo out{"Simulated Output", 0, 2, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE};
    fState->inputs = {in};
    fState->outputs = {out};
}

TSimWaveBackend::~TSimWaveBackend() = default;

void TSimWaveBackend::Advance(uint32_t ms) { AdvanceUs(static_cast<uint64_t>(ms) * 1000); }

void TSimWaveBackend::AdvanceUs(uint64_t us) {
    std::lock_guard<std::mutex> g(fState->m);
    if (fMode != TSimClockMode::scmDriven) return;
    fState->drivenUs += us;
    fState->Changed();
}

uint64_t TSimWaveBackend::NowUs() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->NowUs();
}

void TSimWaveBackend::SetDevices(TWaveDirection dir, std::vector<TWaveDeviceInfo> devices) {
    std::lock_guard<std::mutex> g(fState->m);
    (dir == TWaveDirection::wdInput ? fState->inputs : fState->outputs) = std::move(devices);
}

void TSimWaveBackend::SetFormatFilter(std::function<bool(const WAVEFORMATEX&)> accepts) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->accepts = accepts ? std::move(accepts) : DefaultAccepts;
}

void TSimWaveBackend::SetBufferMs(uint32_t ms) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->bufferMs = std::max<uint32_t>(ms, 1);
}

void TSimWaveBackend::SetInputLatencyMs(uint32_t ms) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->inputLatencyMs = ms;
}

void TSimWaveBackend::SetInputSilence() {
    std::lock_guard<std::mutex> g(fState->m);
    fState->source = TSource::Silence;
}

void TSimWaveBackend::SetInputSine(double hz, double amplitude) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->source = TSource::Sine;
    fState->sineHz = hz;
    fState->sineAmp = std::clamp(amplitude, 0.0, 1.0);
}

void TSimWaveBackend::SetInputWave(std::vector<uint8_t> waveImage) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->source = TSource::Wave;
    fState->sourceBytes = std::move(waveImage);
}

void TSimWaveBackend::SetInputRaw(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->source = TSource::Raw;
    fState->sourceBytes = std::move(bytes);
}

void TSimWaveBackend::SetKeepOutput(bool keep) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->keepOutput = keep;
}

std::vector<TSimOutputBlock> TSimWaveBackend::OutputBlocks() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->played;
}

std::vector<uint8_t> TSimWaveBackend::OutputBytes() const {
    std::lock_guard<std::mutex> g(fState->m);
    std::vector<uint8_t> all;
    for (const auto& b : fState->played) all.insert(all.end(), b.bytes.begin(), b.bytes.end());
    return all;
}

void TSimWaveBackend::ClearOutput() {
    std::lock_guard<std::mutex> g(fState->m);
    fState->played.clear();
}

uint64_t TSimWaveBackend::PlayedFrames() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->playedFrames;
}

uint64_t TSimWaveBackend::CapturedFrames() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->capturedFrames;
}

void TSimWaveBackend::SetFaults(const TSimFaults& faults) {
    std::lock_guard<std::mutex> g(fState->m);
    fState->faults = faults;
    fState->Changed();
}

TSimFaults TSimWaveBackend::Faults() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->faults;
}

bool TSimWaveBackend::Settled() const {
    if (fMode != TSimClockMode::scmDriven) return false;
    SyncOpenWaveDevices();
    std::lock_guard<std::mutex> g(fState->m);
    return std::all_of(fState->probes.begin(), fState->probes.end(), [](const TState::TProbe* p) { return p->CaughtUp(); });
}

int TSimWaveBackend::OpenStreams() const {
    std::lock_guard<std::mutex> g(fState->m);
    return fState->openStreams;
}

UINT TSimWaveBackend::NumDevs(TWaveDirection dir) {
    std::lock_guard<std::mutex> g(fState->m);
    return static_cast<UINT>((dir == TWaveDirection::wdInput ? fState->inputs : fState->outputs).size());
}

MMRESULT TSimWaveBackend::DeviceInfo(TWaveDirection dir, UINT id, TWaveDeviceInfo& info) {
    std::lock_guard<std::mutex> g(fState->m);
    const auto& list = dir == TWaveDirection::wdInput ? fState->inputs : fState->outputs;
    if (id == WAVE_MAPPER) id = 0;
    if (id >= list.size()) return MMSYSERR_BADDEVICEID;
    info = list[id];
    if (info.formats == 0) info.formats = FormatBits(fState->accepts);
    return MMSYSERR_NOERROR;
}

MMRESULT TSimWaveBackend::QueryFormat(TWaveDirection dir, UINT id, const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> g(fState->m);
    const auto& list = dir == TWaveDirection::wdInput ? fState->inputs : fState->outputs;
    if (id != WAVE_MAPPER && id >= list.size()) return MMSYSERR_BADDEVICEID;
    if (fState->faults.query) return fState->faults.query;
    return fState->accepts(format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT TSimWaveBackend::Open(TWaveDirection dir, UINT id, const WAVEFORMATEX& format,
                               std::unique_ptr<TWaveBackendStream>& stream) {
    if (MMRESULT r = QueryFormat(dir, id, format)) return r;
    {
        std::lock_guard<std::mutex> g(fState->m);
        if (fState->faults.busy) return MMSYSERR_ALLOCATED;
        if (fState->faults.openAfterQuery) return fState->faults.openAfterQuery;
        if (dir == TWaveDirection::wdInput && fState->source == TSource::Wave) {
            WAVEFORMATEX wf{};
            size_t off = 0, len = 0;
            if (!ParseWave(fState->sourceBytes, wf, off, len) || wf.wFormatTag != format.wFormatTag ||
                wf.nChannels != format.nChannels || wf.nSamplesPerSec != format.nSamplesPerSec ||
                wf.wBitsPerSample != format.wBitsPerSample)
                return WAVERR_BADFORMAT;
        }
    }
    stream = std::make_unique<TSimStream>(fState, dir, format);
    return MMSYSERR_NOERROR;
}

}  // namespace orvant
