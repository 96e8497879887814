// Shared by the collection server's tests: voice archives built by hand
// (hostile ones included) and with the program's own writer.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/VoiceArchive.h"

namespace orvant::collecttest {

inline std::string Int32(int32_t v) {
    const uint32_t u = uint32_t(v);
    return {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
}

inline std::string Deflate(const std::string& data) {
    uLongf n = compressBound(uLong(data.size()));
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.data()),
              uLong(data.size()), 9);
    out.resize(n);
    return out;
}

// The name field of an entry: its UTF-16 units and a NUL, little-endian.
inline std::string Name16(const std::u16string& name, bool nul = true) {
    std::string s;
    for (char16_t c : name) s += {char(c & 0xFF), char(c >> 8)};
    if (nul) s += std::string(2, '\0');
    return s;
}

// One entry: name length, name, size, stream.
inline std::string Entry(const std::u16string& name, const std::string& data) {
    const std::string n = Name16(name);
    return Int32(int32_t(n.size())) + n + Int32(int32_t(data.size())) + Deflate(data);
}

// A 16-bit stereo 22050 Hz PCM WAVE image of the given PCM bytes.
inline std::string Wave(const std::string& pcm) {
    auto u16 = [](int v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
    return "RIFF" + Int32(int32_t(36 + pcm.size())) + "WAVEfmt " + Int32(16) + u16(1) + u16(2) + Int32(22050) +
           Int32(22050 * 4) + u16(4) + u16(16) + "data" + Int32(int32_t(pcm.size())) + pcm;
}

// The archive of the given files (full paths) as the program writes it.
inline std::string WriteArchive(const std::vector<std::string>& files) {
    TMemoryStream ms;
    WriteVoiceArchive(files, ms, nullptr, 2);
    return std::string(static_cast<const char*>(ms.Memory()), size_t(ms.Size()));
}

}  // namespace orvant::collecttest
