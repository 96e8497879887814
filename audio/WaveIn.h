// The wave input device: records in the format chosen by PCMFormat (or
// supplied by OnFormat), keeps BufferCount buffers of BufferLength
// milliseconds queued, and hands every filled buffer to the level event, the
// filter event and the data hook HandleInputData before queueing it again.
#pragma once

#include <cstdint>
#include <string>

#include "audio/WaveIO.h"

namespace orvant {

class TWaveAudioIn : public TWaveAudioIO {
public:
    explicit TWaveAudioIn(TComponent* AOwner = nullptr);
    ~TWaveAudioIn() override;

    // True when the device accepts the format; records no error.
    bool Query(const tWAVEFORMATEX* pWaveFormat) override;

    TPCMFormat PCMFormat() const { return fPCMFormat; }
    // Raises EWaveAudioInvalidOperation while the device is open (unless the
    // value is the current one).
    void SetPCMFormat(TPCMFormat Value);
    HWAVEIN Handle() const { return fHandle; }

    // Supplies the format when PCMFormat is nonePCM.
    TWaveAudioGetFormatEvent OnFormat;

protected:
    // Prepares the header if needed and hands it to the device.
    virtual bool AddBuffer(PWAVEHDR pWaveHeader);
    // Wraps a caller's block in a new header and queues it; with FreeIt the
    // engine frees the block (it must come from std::malloc).
    virtual bool QueueBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt);
    // Recorded bytes (after the filter). Setting FreeIt false takes over the
    // block (free it with std::free); the engine then gives the header a new
    // one. Does nothing here.
    virtual void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt);

    void DoWimOpen() override;
    void DoWimClose() override;
    void DoWimData(PWAVEHDR pWaveHeader) override;
    uint32_t GetNumDevs() override;
    bool GetPaused() override { return fPaused; }
    std::string GetDeviceName() override;
    TWaveDeviceFormats GetDeviceFormats() override;
    uint32_t GetPosition() override;
    std::string GetErrorText(uint32_t ErrorCode) override;
    void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
    MMRESULT CheckDeviceID(uint32_t DeviceID) override;
    bool OpenDevice() override;
    bool CloseDevice() override;
    bool PauseDevice() override;
    bool ResumeDevice() override;
    bool HasDeviceHandle() override { return fHandle != nullptr; }
    void QueueInitialBuffers() override;

    // Cleared by the close handler (on the callback thread in thread mode)
    // and read by the owner's calls: atomic, like the paused flag.
    std::atomic<HWAVEIN> fHandle{nullptr};
    std::atomic<bool> fPaused{false};
    TPCMFormat fPCMFormat = Mono16bit8000Hz;

private:
    // Unprepares (when prepared) and releases a header that is not queued.
    void DiscardBuffer(PWAVEHDR& pWaveHeader);
    // Queues one new engine-owned buffer of the format's size; false (and
    // nothing kept) when that fails.
    bool QueueNewBuffer();
    // Before a stop: queues buffers enough for what the device captured and
    // has not delivered yet (through a sound server that can be seconds), so
    // the stop finds room for all of it.
    void MakeRoomForBacklog();

    // Bytes handed to the hooks since the open.
    uint64_t fDelivered = 0;
};

}  // namespace orvant
