// ALSA streams for the wave-device layer.
//
// Streams are opened non-blocking; the layer's I/O thread moves what fits
// and sleeps in Wait, polling the PCM's descriptors together with an eventfd
// that Interrupt writes. Overruns and underruns are recovered where
// they show (the next read or write), never reported. ALSA errors become
// result codes here, with ALSA's own text kept as the detail of the code.

#include "platform/wavedev/alsa/AlsaWaveBackend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "platform/wavedev/WaveDevInternal.h"

namespace orvant {

namespace {

// The most capture a sound server is taken to hold back (a monitor of an
// idle sink delivers in bursts of up to about two seconds).
constexpr unsigned kMaxServerBacklogSeconds = 4;

// ALSA's library prints some errors itself; ours go through result codes.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

snd_pcm_stream_t StreamOf(TWaveDirection dir) {
    return dir == TWaveDirection::wdInput ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

// The result code for an ALSA error, with ALSA's text recorded.
MMRESULT AlsaError(int err, const std::string& pcm, MMRESULT fallback = MMSYSERR_ERROR) {
    MMRESULT code;
    switch (-err) {
    case EBUSY: code = MMSYSERR_ALLOCATED; break;
    case ENOMEM: code = MMSYSERR_NOMEM; break;
    case ENOENT:
    case ENODEV:
    case ENXIO: code = MMSYSERR_NODRIVER; break;
    default: code = fallback; break;
    }
    SetWaveErrorDetail(code, "ALSA " + pcm + ": " + snd_strerror(err));
    return code;
}

snd_pcm_format_t AlsaFormat(const WAVEFORMATEX& f) {
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && f.wBitsPerSample == 32) return SND_PCM_FORMAT_FLOAT_LE;
    if (f.wFormatTag != WAVE_FORMAT_PCM) return SND_PCM_FORMAT_UNKNOWN;
    switch (f.wBitsPerSample) {
    case 8: return SND_PCM_FORMAT_U8;
    case 16: return SND_PCM_FORMAT_S16_LE;
    case 24: return SND_PCM_FORMAT_S24_3LE;
    case 32: return SND_PCM_FORMAT_S32_LE;
    default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

struct THwParams {
    snd_pcm_hw_params_t* p = nullptr;
    THwParams() { snd_pcm_hw_params_malloc(&p); }
    ~THwParams() { snd_pcm_hw_params_free(p); }
    THwParams(const THwParams&) = delete;
    THwParams& operator=(const THwParams&) = delete;
};

// Restricts hw params to the format; 0 or the ALSA error.
int Restrict(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, const WAVEFORMATEX& f) {
    int err;
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) return err;
    const snd_pcm_format_t fmt = AlsaFormat(f);
    if (fmt == SND_PCM_FORMAT_UNKNOWN) return -EINVAL;
    if ((err = snd_pcm_hw_params_set_format(pcm, hw, fmt)) < 0) return err;
    if ((err = snd_pcm_hw_params_set_channels(pcm, hw, f.nChannels)) < 0) return err;
    return snd_pcm_hw_params_set_rate(pcm, hw, f.nSamplesPerSec, 0);
}

class TAlsaStream final : public TWaveBackendStream {
public:
    TAlsaStream(snd_pcm_t* pcm, TWaveDirection dir, std::string name, snd_pcm_uframes_t period, bool canPause)
        : fPcm(pcm), fDir(dir), fName(std::move(name)), fPeriod(period), fCanPause(canPause) {
        fWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        const int n = snd_pcm_poll_descriptors_count(pcm);
        fFds.resize(static_cast<size_t>(std::max(n, 0)) + 1);
        if (n > 0) snd_pcm_poll_descriptors(pcm, fFds.data(), static_cast<unsigned>(n));
        fFds.back() = pollfd{fWake, POLLIN, 0};
        unsigned rate = 0;
        int sub = 0;
        THwParams hw;
        if (snd_pcm_hw_params_current(pcm, hw.p) >= 0 && snd_pcm_hw_params_get_rate(hw.p, &rate, &sub) >= 0 && rate)
            fPeriodMs = std::max(1, static_cast<int>(period * 1000 / rate));
        fRate = rate;
    }
    ~TAlsaStream() override {
        snd_pcm_drop(fPcm);
        snd_pcm_close(fPcm);
        if (fWake >= 0) ::close(fWake);
    }

    MMRESULT Start() override {
        if (fDir != TWaveDirection::wdInput) return MMSYSERR_NOERROR;
        int err = 0;
        if (snd_pcm_state(fPcm) != SND_PCM_STATE_PREPARED) err = snd_pcm_prepare(fPcm);
        if (err >= 0) err = snd_pcm_start(fPcm);
        if (err < 0) return AlsaError(err, fName);
        RestartClock();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Read(void* data, uint32_t frames, uint32_t& done) override {
        done = 0;
        snd_pcm_sframes_t r = snd_pcm_readi(fPcm, data, frames);
        if (r == -EPIPE || r == -ESTRPIPE) {
            // Overrun: what was lost is lost; capture goes on.
            int err = snd_pcm_recover(fPcm, static_cast<int>(r), 1);
            if (err >= 0) err = snd_pcm_start(fPcm);
            if (err < 0) return AlsaError(err, fName, MMSYSERR_READERROR);
            RestartClock();
            return MMSYSERR_NOERROR;
        }
        if (r == -EAGAIN) return MMSYSERR_NOERROR;
        if (r < 0) return AlsaError(static_cast<int>(r), fName, MMSYSERR_READERROR);
        done = static_cast<uint32_t>(r);
        fReadSinceStart += done;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(const void* data, uint32_t frames, uint32_t& done) override {
        done = 0;
        if (snd_pcm_state(fPcm) == SND_PCM_STATE_SETUP) {
            if (int err = snd_pcm_prepare(fPcm); err < 0) return AlsaError(err, fName, MMSYSERR_WRITEERROR);
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            // A non-blocking write of more than there is room for is refused
            // until the room reaches a period. Through a sound server the room
            // can stay just under that for good (the server asks for no more
            // before it has had it), so write what fits now. Asking for the
            // room also brings the plugin's play position up to date.
            const snd_pcm_sframes_t room = snd_pcm_avail(fPcm);
            snd_pcm_sframes_t r = room;
            if (room == 0) return MMSYSERR_NOERROR;
            if (room > 0)
                r = snd_pcm_writei(fPcm, data, std::min<snd_pcm_uframes_t>(frames, static_cast<snd_pcm_uframes_t>(room)));
            if (r == -EPIPE || r == -ESTRPIPE) {
                // Underrun: the device ran dry; start again with these frames.
                if (int err = snd_pcm_recover(fPcm, static_cast<int>(r), 1); err < 0)
                    return AlsaError(err, fName, MMSYSERR_WRITEERROR);
                continue;
            }
            if (r == -EAGAIN) return MMSYSERR_NOERROR;
            if (r < 0) return AlsaError(static_cast<int>(r), fName, MMSYSERR_WRITEERROR);
            done = static_cast<uint32_t>(r);
            return MMSYSERR_NOERROR;
        }
        return MMSYSERR_NOERROR;
    }

    void Wait(uint32_t timeoutMs) override {
        const int timeout = std::min(static_cast<int>(std::min<uint32_t>(timeoutMs, 60000)), PeriodMs());
        if (TakeInterrupt(0)) return;
        if (fDir == TWaveDirection::wdOutput) {
            const snd_pcm_state_t st = snd_pcm_state(fPcm);
            // Frames below the start threshold would wait for ever.
            if (st == SND_PCM_STATE_PREPARED && !fPaused) {
                snd_pcm_sframes_t d = 0;
                if (snd_pcm_delay(fPcm, &d) == 0 && d > 0) snd_pcm_start(fPcm);
            }
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(fPcm);
            if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= fPeriod ||
                snd_pcm_state(fPcm) != SND_PCM_STATE_RUNNING) {
                // There is room, so the layer waits for frames to be played:
                // look again after one period.
                TakeInterrupt(timeout);
                return;
            }
        } else if (snd_pcm_state(fPcm) != SND_PCM_STATE_RUNNING) {
            TakeInterrupt(timeout);
            return;
        }
        // Sleep until the PCM or Interrupt wakes us, or the time is up. The
        // PCM's own view of the wake-up (some plugins, such as pulse, keep
        // their descriptor readable and move their pointer only when asked)
        // decides whether it was real; a false one sleeps a little, so this
        // loop never spins and never starves the plugin's own thread.
        for (auto& p : fFds) p.revents = 0;
        int r;
        do r = ::poll(fFds.data(), fFds.size(), timeout);
        while (r < 0 && errno == EINTR);
        if (fFds.back().revents & POLLIN) {
            uint64_t v;
            while (::read(fWake, &v, sizeof v) < 0 && errno == EINTR) {
            }
        }
        const int npcm = static_cast<int>(fFds.size()) - 1;
        unsigned short rev = 0;
        if (r > 0 && npcm > 0 && !(fFds.back().revents & POLLIN)) {
            snd_pcm_poll_descriptors_revents(fPcm, fFds.data(), static_cast<unsigned>(npcm), &rev);
            if (!(rev & (POLLIN | POLLOUT))) TakeInterrupt(std::max(1, fPeriodMs / 2));
        }
    }

    // Waits up to timeoutMs for Interrupt; true (and reset) when it came.
    bool TakeInterrupt(int timeoutMs) {
        pollfd p{fWake, POLLIN, 0};
        int r;
        do r = ::poll(&p, 1, timeoutMs);
        while (r < 0 && errno == EINTR);
        if (r <= 0) return false;
        uint64_t v;
        while (::read(fWake, &v, sizeof v) < 0 && errno == EINTR) {
        }
        return true;
    }

    void Interrupt() override {
        const uint64_t one = 1;
        ssize_t r;
        do r = ::write(fWake, &one, sizeof one);
        while (r < 0 && errno == EINTR);
    }

    void Drop() override {
        snd_pcm_drop(fPcm);
        fPaused = false;
        fCapturing = false;
    }

    uint32_t Delay() override {
        if (fDir == TWaveDirection::wdInput) {
            // Captured and not read: what can be read now and, through a
            // sound server, what is still on its way (the capture delay).
            // A sound server may not even count what it has not passed on
            // yet (a monitor of an idle sink delivers in bursts of seconds):
            // by the clock, capture has run since the start.
            const snd_pcm_sframes_t a = snd_pcm_avail(fPcm);
            snd_pcm_sframes_t d = 0;
            if (snd_pcm_state(fPcm) != SND_PCM_STATE_RUNNING || snd_pcm_delay(fPcm, &d) < 0) d = 0;
            int64_t byClock = 0;
            if (fCapturing) {
                const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - fStarted)
                                    .count();
                // A device that delivers nothing at all has stalled rather
                // than buffered: a few seconds are the most a server holds.
                byClock = std::min<int64_t>(int64_t(us * int64_t(fRate) / 1000000) - int64_t(fReadSinceStart),
                                            int64_t(kMaxServerBacklogSeconds) * fRate);
            }
            return static_cast<uint32_t>(std::max<int64_t>({a, d, byClock, 0}));
        }
        const snd_pcm_state_t st = snd_pcm_state(fPcm);
        if (st != SND_PCM_STATE_RUNNING && st != SND_PCM_STATE_PREPARED && st != SND_PCM_STATE_PAUSED &&
            st != SND_PCM_STATE_DRAINING)
            return 0;  // dropped, or ran dry: everything written has been played
        snd_pcm_sframes_t d = 0;
        if (snd_pcm_delay(fPcm, &d) < 0 || d < 0) return 0;
        return static_cast<uint32_t>(d);
    }

    bool Pause(bool pause) override {
        const snd_pcm_state_t st = snd_pcm_state(fPcm);
        if (pause) {
            if (st == SND_PCM_STATE_RUNNING) {
                if (!fCanPause || snd_pcm_pause(fPcm, 1) < 0) return false;
            }
            fPaused = true;
            return true;
        }
        if (st == SND_PCM_STATE_PAUSED && snd_pcm_pause(fPcm, 0) < 0) {
            // Could not resume in place: start over with what is pending.
            snd_pcm_drop(fPcm);
        }
        fPaused = false;
        return true;
    }

    uint32_t PeriodFrames() const override { return static_cast<uint32_t>(fPeriod); }

private:
    // Capture (re)starts now; frames lost before (an overrun) are not waited for.
    void RestartClock() {
        fStarted = std::chrono::steady_clock::now();
        fReadSinceStart = 0;
        fCapturing = true;
    }

    int PeriodMs() const { return fPeriodMs; }

    snd_pcm_t* fPcm;
    TWaveDirection fDir;
    std::string fName;
    snd_pcm_uframes_t fPeriod;
    bool fCanPause;
    // Written under the layer's lock (Pause, Drop), read by Wait without it.
    std::atomic<bool> fPaused{false};
    int fWake = -1;
    int fPeriodMs = 20;
    unsigned fRate = 0;
    bool fCapturing = false;  // input started and not dropped since
    std::chrono::steady_clock::time_point fStarted;
    uint64_t fReadSinceStart = 0;
    std::vector<pollfd> fFds;  // the PCM's descriptors, then the eventfd
};

}  // namespace

TAlsaWaveBackend::TAlsaWaveBackend() { snd_lib_error_set_handler(QuietAlsa); }

std::vector<std::string> TAlsaWaveBackend::DeviceNames(TWaveDirection dir) {
    std::vector<std::string> names{"default"};
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return names;
    const char* want = dir == TWaveDirection::wdInput ? "Input" : "Output";
    for (void** h = hints; *h; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* io = snd_device_name_get_hint(*h, "IOID");
        if (name && (!io || std::strcmp(io, want) == 0)) {
            std::string n = name;
            bool seen = false;
            for (const auto& x : names) seen = seen || x == n;
            if (!seen) names.push_back(n);
        }
        free(name);
        free(io);
    }
    snd_device_name_free_hint(hints);
    return names;
}

std::string TAlsaWaveBackend::PcmName(TWaveDirection dir, UINT id) {
    if (id == WAVE_MAPPER) return "default";
    auto names = DeviceNames(dir);
    return id < names.size() ? names[id] : std::string();
}

UINT TAlsaWaveBackend::NumDevs(TWaveDirection dir) { return static_cast<UINT>(DeviceNames(dir).size()); }

MMRESULT TAlsaWaveBackend::DeviceInfo(TWaveDirection dir, UINT id, TWaveDeviceInfo& info) {
    const std::string name = PcmName(dir, id);
    if (name.empty()) return MMSYSERR_BADDEVICEID;
    info.name = name;
    info.support = dir == TWaveDirection::wdOutput ? (WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE) : 0;
    const std::string key = (dir == TWaveDirection::wdInput ? "i:" : "o:") + name;
    {
        std::lock_guard<std::mutex> g(fLock);
        auto it = fFormatCache.find(key);
        if (it != fFormatCache.end()) {
            info.formats = it->second.bits;
            info.channels = it->second.channels;
            return MMSYSERR_NOERROR;
        }
    }
    // The standard formats the device takes, asked of its hw params once.
    TFormats found{0, 0};
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name.c_str(), StreamOf(dir), SND_PCM_NONBLOCK) < 0) {
        info.formats = 0;
        info.channels = 2;
        return MMSYSERR_NOERROR;  // busy or absent now: the name is still valid
    }
    THwParams any, hw;
    if (snd_pcm_hw_params_any(pcm, any.p) >= 0) {
        unsigned maxCh = 0;
        snd_pcm_hw_params_get_channels_max(any.p, &maxCh);
        found.channels = static_cast<WORD>(std::min(maxCh, 2u));
        for (int bit = 0; bit < kStandardFormatBits; ++bit) {
            snd_pcm_hw_params_copy(hw.p, any.p);
            if (Restrict(pcm, hw.p, StandardFormat(bit)) >= 0) found.bits |= 1u << bit;
        }
    }
    snd_pcm_close(pcm);
    {
        std::lock_guard<std::mutex> g(fLock);
        fFormatCache[key] = found;
    }
    info.formats = found.bits;
    info.channels = found.channels;
    return MMSYSERR_NOERROR;
}

// Opens the PCM `name` for dir and restricts hw to format; on success the
// PCM is open in pcm, on failure nothing is left open.
static MMRESULT OpenRestricted(const std::string& name, TWaveDirection dir, const WAVEFORMATEX& format,
                               THwParams& hw, snd_pcm_t*& pcm) {
    if (int err = snd_pcm_open(&pcm, name.c_str(), StreamOf(dir), SND_PCM_NONBLOCK); err < 0)
        return AlsaError(err, name);
    int err = snd_pcm_hw_params_any(pcm, hw.p);
    if (err >= 0) err = Restrict(pcm, hw.p, format);
    if (err < 0) {
        snd_pcm_close(pcm);
        pcm = nullptr;
        return AlsaError(err, name, WAVERR_BADFORMAT);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWaveBackend::QueryFormat(TWaveDirection dir, UINT id, const WAVEFORMATEX& format) {
    const std::string name = PcmName(dir, id);
    if (name.empty()) return MMSYSERR_BADDEVICEID;
    snd_pcm_t* pcm = nullptr;
    THwParams hw;
    if (MMRESULT r = OpenRestricted(name, dir, format, hw, pcm)) return r;
    snd_pcm_close(pcm);
    return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWaveBackend::Open(TWaveDirection dir, UINT id, const WAVEFORMATEX& format,
                                std::unique_ptr<TWaveBackendStream>& stream) {
    const std::string name = PcmName(dir, id);
    if (name.empty()) return MMSYSERR_BADDEVICEID;
    snd_pcm_t* pcm = nullptr;
    THwParams hw;
    if (MMRESULT r = OpenRestricted(name, dir, format, hw, pcm)) return r;
    int err = 0;
    unsigned bufferUs = 250000, periodUs = 25000;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw.p, &bufferUs, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm, hw.p, &periodUs, nullptr);
    snd_pcm_uframes_t period = 0, buffer = 0;
    if ((err = snd_pcm_hw_params(pcm, hw.p)) < 0) {
        snd_pcm_close(pcm);
        return AlsaError(err, name, WAVERR_BADFORMAT);
    }
    snd_pcm_hw_params_get_period_size(hw.p, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw.p, &buffer);
    const bool canPause = snd_pcm_hw_params_can_pause(hw.p) != 0;
    if (period == 0) period = std::max<snd_pcm_uframes_t>(1, format.nSamplesPerSec / 40);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_malloc(&sw);
    err = snd_pcm_sw_params_current(pcm, sw);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, period);
    if (err >= 0)
        // Playback starts with the first period; capture when started.
        err = snd_pcm_sw_params_set_start_threshold(pcm, sw, dir == TWaveDirection::wdOutput ? period : buffer * 2);
    if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
    snd_pcm_sw_params_free(sw);
    if (err < 0) {
        snd_pcm_close(pcm);
        return AlsaError(err, name);
    }
    if ((err = snd_pcm_prepare(pcm)) < 0) {
        snd_pcm_close(pcm);
        return AlsaError(err, name);
    }
    stream = std::make_unique<TAlsaStream>(pcm, dir, name, period, canPause);
    return MMSYSERR_NOERROR;
}

}  // namespace orvant
