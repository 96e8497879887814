// Wave helpers for tests: the format record of a standard PCM format, and a
// counter of a wave stream adapter's change events.
#pragma once

#include "wave/WaveStorage.h"
#include "wave/WaveUtils.h"

namespace orvant::testsupport {

inline tWAVEFORMATEX Pcm(TPCMFormat f) {
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, f);
    return wf;
}

// Counts the OnChanging and OnChange events of the adapters it is attached to.
struct TAdapterEvents {
    int changing = 0, change = 0;
    void Attach(TWaveStreamAdapter& w) {
        w.SetOnChanging([this](TWaveStreamAdapter*) { ++changing; });
        w.SetOnChange([this](TWaveStreamAdapter*) { ++change; });
    }
};

}  // namespace orvant::testsupport
