// The table of wave-device backends.
#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/alsa/AlsaWaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"

namespace orvant {

namespace {

struct TBackendEntry {
    const char* name;
    std::shared_ptr<TWaveBackend> (*make)();
};

const TBackendEntry kBackends[] = {
    {"alsa", [] { return std::shared_ptr<TWaveBackend>(std::make_shared<TAlsaWaveBackend>()); }},
    {"sim", [] { return std::shared_ptr<TWaveBackend>(std::make_shared<TSimWaveBackend>()); }},
};

}  // namespace

std::vector<std::string> WaveBackendNames() {
    std::vector<std::string> names;
    for (const auto& e : kBackends) names.emplace_back(e.name);
    return names;
}

std::shared_ptr<TWaveBackend> CreateWaveBackend(const std::string& name) {
    for (const auto& e : kBackends)
        if (name == e.name) return e.make();
    return nullptr;
}

}  // namespace orvant
