// Wave devices through ALSA. Devices are "default" (also the wave mapper)
// followed by the PCMs ALSA's device hints list for the direction. Output
// volume is applied in software by the layer, so output devices report
// WAVECAPS_VOLUME, WAVECAPS_LRVOLUME and WAVECAPS_SAMPLEACCURATE; pitch and
// playback rate are not offered.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wavedev/WaveBackend.h"

namespace orvant {

class TAlsaWaveBackend : public TWaveBackend {
public:
    TAlsaWaveBackend();
    const char* Name() const override { return "alsa"; }
    UINT NumDevs(TWaveDirection dir) override;
    MMRESULT DeviceInfo(TWaveDirection dir, UINT id, TWaveDeviceInfo& info) override;
    MMRESULT QueryFormat(TWaveDirection dir, UINT id, const WAVEFORMATEX& format) override;
    MMRESULT Open(TWaveDirection dir, UINT id, const WAVEFORMATEX& format,
                  std::unique_ptr<TWaveBackendStream>& stream) override;

    // The ALSA PCM names of the devices, in device-number order.
    std::vector<std::string> DeviceNames(TWaveDirection dir);

private:
    // PCM name of device `id` (WAVE_MAPPER: "default"); empty when out of range.
    std::string PcmName(TWaveDirection dir, UINT id);

    std::mutex fLock;
    struct TFormats {
        DWORD bits;
        WORD channels;
    };
    std::map<std::string, TFormats> fFormatCache;  // key: direction + name
};

}  // namespace orvant
