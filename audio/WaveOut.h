// The wave output device: plays what a derived class supplies, keeping
// BufferCount buffers of BufferLength milliseconds queued, refilling each
// buffer as it comes back and closing itself when the supplier has no more
// data. Volume per channel in percent, pitch and playback rate as factors
// (applied only when Options and the device's capabilities allow), a movable
// position in milliseconds and the capability set DeviceSupports.
#pragma once

#include <cstdint>
#include <string>

#include "audio/WaveIO.h"

namespace orvant {

enum TWaveOutOption : uint8_t { woSetVolume, woSetPitch, woSetPlaybackRate };
using TWaveOutOptions = TEnumSet<TWaveOutOption>;

enum TWaveOutDeviceSupport : uint8_t {
    dsVolume,
    dsStereoVolume,
    dsPitch,
    dsPlaybackRate,
    dsPosition,
    dsAsynchronize,
    dsDirectSound,
};
using TWaveOutDeviceSupports = TEnumSet<TWaveOutDeviceSupport>;

// The device's volume word: left channel in the low word, right in the high
// word, 0..0xFFFF each; percentages are rounded with MulDiv and not clamped.
void VolumeToPercent(uint32_t Volume, uint16_t& Left, uint16_t& Right);
uint32_t PercentToVolume(uint16_t Left, uint16_t Right);
// Unsigned 16.16 fixed point: integer part in the high word, the first 16
// binary digits of the fraction in the low word (negative factors give 0).
uint32_t FloatToFixed(double Value);
// The high word read as a signed 16-bit integer, plus low word / 65536.
double FixedToFloat(uint32_t Value);

class TWaveAudioOut : public TWaveAudioIO {
public:
    explicit TWaveAudioOut(TComponent* AOwner = nullptr);
    ~TWaveAudioOut() override;

    // True when the device accepts the format; records no error.
    bool Query(const tWAVEFORMATEX* pWaveFormat) override;

    HWAVEOUT Handle() const { return fHandle; }
    TWaveOutDeviceSupports DeviceSupports() { return GetDeviceSupports(); }

    // Milliseconds into the played data. Writing it while open resets the
    // device: every queued buffer comes back and is refilled from the
    // supplier's new place (a paused device stays paused).
    virtual void SetPosition(uint32_t Value);

    TWaveOutOptions Options() const { return fOptions; }
    void SetOptions(TWaveOutOptions Value);
    uint16_t Volume();
    void SetVolume(uint16_t Value);
    uint16_t VolumeLeft();
    void SetVolumeLeft(uint16_t Value);
    uint16_t VolumeRight();
    void SetVolumeRight(uint16_t Value);
    double Pitch();
    void SetPitch(double Value);
    double PlaybackRate();
    void SetPlaybackRate(double Value);

protected:
    // Reads the device volume into percentages (untouched and false when the
    // device is closed or has no volume); records no error.
    virtual bool GetDeviceVolume(uint16_t& Left, uint16_t& Right);
    // Writes percentages to the device when woSetVolume is set and the device
    // has a volume; a device with one volume for both channels gets (and the
    // caller's variables keep) their average.
    virtual bool SetDeviceVolume(uint16_t& Left, uint16_t& Right);
    // Prepares the header if needed, runs the filter and level events and
    // hands the buffer to the device.
    virtual bool WriteBuffer(PWAVEHDR pWaveHeader);
    // Wraps a caller's block in a new header and plays it NumLoops times;
    // with FreeIt the engine frees the block (it must come from std::malloc).
    virtual bool QueueBuffer(void* Buffer, uint32_t BufferSize, uint32_t NumLoops, bool FreeIt);
    // Internal buffering: fills the engine's block; the bytes written, 0 at
    // the end of the data. 0 here.
    virtual uint32_t FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops);
    // External buffering: hands over a block and returns its size. A size
    // with Buffer nullptr asks for that many milliseconds of silence (the
    // supplier has no data yet). 0 here.
    virtual uint32_t FetchWaveDataPointer(void*& Buffer, uint32_t& NumLoops, bool& FreeIt);

    void DoWomOpen() override;
    void DoWomClose() override;
    void DoWomDone(PWAVEHDR pWaveHeader) override;
    uint32_t GetNumDevs() override;
    bool GetPaused() override { return fPaused; }
    std::string GetDeviceName() override;
    TWaveDeviceFormats GetDeviceFormats() override;
    uint32_t GetPosition() override;
    std::string GetErrorText(uint32_t ErrorCode) override;
    MMRESULT CheckDeviceID(uint32_t DeviceID) override;
    bool OpenDevice() override;
    bool CloseDevice() override;
    bool PauseDevice() override;
    bool ResumeDevice() override;
    bool HasDeviceHandle() override { return fHandle != nullptr; }
    void QueueInitialBuffers() override;

    TWaveOutDeviceSupports GetDeviceSupports();
    void ApplyOptions();

    // Cleared by the close handler (on the callback thread in thread mode)
    // and read by the owner's calls: atomic, like the paused flag.
    std::atomic<HWAVEOUT> fHandle{nullptr};
    std::atomic<bool> fPaused{false};
    uint16_t fVolumeLeft = 75;
    uint16_t fVolumeRight = 75;
    double fPitch = 1.0;
    double fPlaybackRate = 1.0;
    TWaveOutOptions fOptions;
    bool fBufferInternally = true;
    std::atomic<uint32_t> fStartPosition{0};

private:
    // Unprepares (when prepared) and releases a header that is not queued.
    void DiscardBuffer(PWAVEHDR& pWaveHeader);
    // What a refill gave: a header to play, nothing to play now (the header
    // is released), or the end of the data (the header is released).
    enum class TRefill { Play, Skip, End };
    // Fills a returned (or new) header from the supplier.
    TRefill RefillBuffer(PWAVEHDR& pWaveHeader, uint32_t& NumLoops);
    // Refills a returned header and hands it to the device; true when it
    // was written. At the end of the data the device starts closing.
    bool PlayNext(PWAVEHDR& pWaveHeader);
};

}  // namespace orvant
