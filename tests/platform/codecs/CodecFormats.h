// Format records for codec tests: PCM records and the standard records of
// the compressed formats, as the compression manager suggests them.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/codecs/Acm.h"

namespace orvant::codectest {

inline tWAVEFORMATEX PcmRecord(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t tag = WAVE_FORMAT_PCM) {
    tWAVEFORMATEX wf{};
    wf.wFormatTag = tag;
    wf.nChannels = channels;
    wf.nSamplesPerSec = rate;
    wf.wBitsPerSample = bits;
    wf.nBlockAlign = uint16_t(channels * bits / 8);
    wf.nAvgBytesPerSec = wf.nBlockAlign * rate;
    return wf;
}

// The record with its extra bytes.
inline std::vector<uint8_t> CodecRecord(uint16_t tag, uint16_t channels, uint32_t rate) {
    std::vector<uint8_t> buf(128, 0);
    auto* wf = reinterpret_cast<tWAVEFORMATEX*>(buf.data());
    wf->wFormatTag = tag;
    wf->nChannels = channels;
    wf->nSamplesPerSec = rate;
    const tWAVEFORMATEX src = PcmRecord(channels, rate, 16);
    EXPECT_EQ(acmFormatSuggest(nullptr, &src, wf, uint32_t(buf.size()),
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                   ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              MMSYSERR_NOERROR);
    buf.resize(18 + wf->cbSize);
    return buf;
}

inline const tWAVEFORMATEX* Wf(const std::vector<uint8_t>& record) {
    return reinterpret_cast<const tWAVEFORMATEX*>(record.data());
}

}  // namespace orvant::codectest
