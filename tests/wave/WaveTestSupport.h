// Helpers for the wave tests: a temporary folder, the shared file and
// command helpers, and little-endian building blocks for hand-made
// RIFF images.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"

namespace wavetest {

using Bytes = std::vector<uint8_t>;

// A temporary folder of its own for each test.
struct TempDir : orvant::testsupport::TScratchDir {
    TempDir() : TScratchDir("orvant-wave") {}
};

using orvant::testsupport::ReadFileBytes;
using orvant::testsupport::RunCommand;
using orvant::testsupport::WriteFile;

inline uint32_t LE32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline uint16_t LE16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

inline void Put(Bytes& b, const std::string& text) { b.insert(b.end(), text.begin(), text.end()); }
inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
// A chunk: id, stated size (the real size unless given), bytes, pad byte.
inline Bytes Chunk(const std::string& id, const Bytes& body, int64_t statedSize = -1, bool pad = true) {
    Bytes b;
    Put(b, id);
    Put32(b, statedSize < 0 ? uint32_t(body.size()) : uint32_t(statedSize));
    b.insert(b.end(), body.begin(), body.end());
    if (pad && (body.size() & 1)) b.push_back(0);
    return b;
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
// "RIFF" <size> "WAVE" followed by the chunks; the RIFF size is the real one
// unless given.
inline Bytes RiffWave(const Bytes& chunks, int64_t statedSize = -1) {
    Bytes body;
    Put(body, "WAVE");
    body.insert(body.end(), chunks.begin(), chunks.end());
    return Chunk("RIFF", body, statedSize, false);
}
// The 16-byte PCM format chunk body.
inline Bytes PcmFmt(uint16_t channels, uint32_t rate, uint16_t bits) {
    Bytes b;
    Put16(b, 1);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * bits / 8);
    Put16(b, uint16_t(channels * bits / 8));
    Put16(b, bits);
    return b;
}

inline orvant::TMemoryStream* NewMemoryStream(const Bytes& b) {
    auto* ms = new orvant::TMemoryStream;
    if (!b.empty()) ms->Write(b.data(), int32_t(b.size()));
    ms->SetPosition(0);
    return ms;
}

inline Bytes StreamBytes(orvant::TStream& s) {
    Bytes b(size_t(s.Size()));
    s.SetPosition(0);
    if (!b.empty()) s.ReadBuffer(b.data(), int32_t(b.size()));
    return b;
}

}  // namespace wavetest
