// Helpers shared by the recorder and player tests: a scratch folder, WAVE
// files written by hand (not by the code under test), Python's wave module as
// an independent reader, a simulated device installed for one test, and a
// wave storage over memory streams.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/wavedev/WaveDev.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"
#include "wave/WaveStorage.h"

namespace orvant::playertest {

// A folder of its own for each test, removed afterwards.
struct TScratchDir : testsupport::TScratchDir {
    TScratchDir() : testsupport::TScratchDir("orvant-players") {}
};

using testsupport::ReadFileBytes;
using testsupport::WriteFile;

inline void Put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// The canonical 44-byte PCM header followed by data.
inline std::vector<uint8_t> PCMWaveImage(uint16_t channels, uint32_t rate, uint16_t bits,
                                         const std::vector<uint8_t>& data) {
    std::vector<uint8_t> v;
    const uint16_t block = uint16_t(channels * bits / 8);
    v.insert(v.end(), {'R', 'I', 'F', 'F'});
    Put32(v, uint32_t(36 + data.size()));
    v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(v, 16);
    Put16(v, 1);
    Put16(v, channels);
    Put32(v, rate);
    Put32(v, rate * block);
    Put16(v, block);
    Put16(v, bits);
    v.insert(v.end(), {'d', 'a', 't', 'a'});
    Put32(v, uint32_t(data.size()));
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

// Bytes that differ from block to block, so misplaced data shows.
inline std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 7 + i / 251) & 0xFF);
    return v;
}

// What Python's wave module reads from a file.
struct TPyWave {
    bool ok = false;
    int rate = 0, channels = 0, width = 0;
    long frames = -1;
    std::string error;
};

inline TPyWave PythonReadWave(const std::string& path) {
    TPyWave r;
    const std::string cmd =
        "python3 -c \"import sys, wave\n"
        "try:\n"
        "    w = wave.open(sys.argv[1], 'rb')\n"
        "    n = w.getnframes(); d = w.readframes(n)\n"
        "    assert len(d) == n * w.getnchannels() * w.getsampwidth(), 'short data'\n"
        "    print('OK', w.getframerate(), w.getnchannels(), w.getsampwidth(), n)\n"
        "except Exception as e:\n"
        "    print('ERR', e)\n\" '" + path + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char line[512] = {0};
    std::string out;
    while (fgets(line, sizeof line, p) != nullptr) out += line;
    pclose(p);
    if (std::sscanf(out.c_str(), "OK %d %d %d %ld", &r.rate, &r.channels, &r.width, &r.frames) == 4)
        r.ok = true;
    else
        r.error = out;
    return r;
}

// True when nobody holds the file any more: it can be opened exclusively.
inline bool FileIsFree(const std::string& path) {
    try {
        TFileStream s(path, fmOpenReadWrite | fmShareExclusive);
        return true;
    } catch (const EStreamError&) {
        return false;
    }
}

// Waits, handling this thread's device messages, for a condition; generous
// limit for a loaded machine.
template <class F>
bool WaitFor(F&& done, DWORD timeoutMs = 60000) {
    return WaitWhileDispatching(done, timeoutMs) == WAIT_OBJECT_0;
}

// The simulated device with a test-driven clock, serving every wave call of
// one test.
class SimDeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<TSimWaveBackend> sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmDriven);
    TWaveBackendInstall install{sim};
    TScratchDir dir;
};

// A storage of wave images held in memory streams.
class TMemoryWaveStorage : public TCustomWaveStorage {
public:
    explicit TMemoryWaveStorage(int count, TComponent* AOwner = nullptr) : TCustomWaveStorage(AOwner) {
        for (int i = 0; i < count; ++i) fItems.push_back(std::make_unique<TMemoryStream>());
    }
    TStream* WaveStreamAt(int Index) override { return fItems.at(size_t(Index)).get(); }
    bool Equals(TCustomWaveStorage* Another) override { return Another == this; }
    TMemoryStream& Item(int Index) { return *fItems.at(size_t(Index)); }

private:
    std::vector<std::unique_ptr<TMemoryStream>> fItems;
};

}  // namespace orvant::playertest
