// Conversion streams over arbitrary records and data: a format pair chosen
// from a table of known formats, or a source record taken from the input
// itself, then the data converted in pieces of input-chosen sizes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/codecs/Acm.h"

using namespace orvant;

namespace {

std::vector<uint8_t> Suggested(uint16_t tag, uint16_t channels, uint32_t rate) {
    std::vector<uint8_t> buf(128, 0);
    auto* wf = reinterpret_cast<tWAVEFORMATEX*>(buf.data());
    wf->wFormatTag = tag;
    wf->nChannels = channels;
    wf->nSamplesPerSec = rate;
    tWAVEFORMATEX pcm{1, channels, rate, rate * 2u * channels, uint16_t(2 * channels), 16, 0};
    if (acmFormatSuggest(nullptr, &pcm, wf, 128,
                         ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                             ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != MMSYSERR_NOERROR)
        return {};
    buf.resize(18 + wf->cbSize);
    return buf;
}

std::vector<uint8_t> Pcm(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    tWAVEFORMATEX wf{tag, channels, rate, 0, uint16_t(channels * bits / 8), bits, 0};
    wf.nAvgBytesPerSec = wf.nBlockAlign * rate;
    const auto* p = reinterpret_cast<const uint8_t*>(&wf);
    return {p, p + sizeof(wf)};
}

const std::vector<std::vector<uint8_t>>& Formats() {
    static const std::vector<std::vector<uint8_t>> f = {
        Pcm(1, 1, 8000, 16),   Pcm(1, 2, 8000, 16),     Pcm(1, 1, 22050, 16),  Pcm(1, 2, 22050, 16),
        Pcm(1, 1, 11025, 8),   Pcm(1, 2, 44100, 24),    Pcm(1, 1, 48000, 32),  Pcm(3, 2, 44100, 32),
        Suggested(17, 1, 8000), Suggested(17, 2, 22050), Suggested(2, 1, 22050), Suggested(2, 2, 8000),
        Suggested(6, 2, 8000), Suggested(7, 1, 22050),  Suggested(49, 1, 8000),
    };
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const auto& formats = Formats();
    std::vector<uint8_t> src = formats[data[0] % formats.size()];
    const std::vector<uint8_t>& dst = formats[data[1] % formats.size()];
    const uint8_t pieceSeed = data[2];
    const bool ownRecord = data[3] & 1;
    data += 4;
    size -= 4;
    if (ownRecord) {
        // The source record comes from the input, extra bytes included.
        if (size < 18) return 0;
        tWAVEFORMATEX head;
        std::memcpy(&head, data, 18);
        const size_t len = 18 + head.cbSize;
        if (size < len) return 0;
        src.assign(data, data + len);
        data += len;
        size -= len;
    }
    const auto* s = reinterpret_cast<const tWAVEFORMATEX*>(src.data());
    const auto* d = reinterpret_cast<const tWAVEFORMATEX*>(dst.data());
    HACMSTREAM has = nullptr;
    if (acmStreamOpen(&has, nullptr, s, d, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) return 0;
    uint32_t piece = 1 + pieceSeed * 37u;
    uint32_t out = 0;
    if (acmStreamSize(has, piece, &out, ACM_STREAMSIZEF_SOURCE) == MMSYSERR_NOERROR && out < (1u << 24)) {
        std::vector<uint8_t> in(piece), o(out + 1);
        ACMSTREAMHEADER h{};
        h.cbStruct = sizeof(h);
        h.pbSrc = in.data();
        h.cbSrcLength = piece;
        h.pbDst = o.data();
        h.cbDstLength = out;
        if (acmStreamPrepareHeader(has, &h, 0) == MMSYSERR_NOERROR) {
            size_t at = 0;
            bool first = true;
            do {
                const uint32_t n = uint32_t(size - at < piece ? size - at : piece);
                std::memcpy(in.data(), data + at, n);
                h.cbSrcLength = n;
                const bool last = at + n >= size;
                const uint32_t flags = (first ? ACM_STREAMCONVERTF_START : 0) | (last ? ACM_STREAMCONVERTF_END : 0) |
                                       ((pieceSeed & 1) ? ACM_STREAMCONVERTF_BLOCKALIGN : 0);
                if (acmStreamConvert(has, &h, flags) != MMSYSERR_NOERROR) break;
                if (h.cbDstLengthUsed > out || h.cbSrcLengthUsed > n) __builtin_trap();
                // Unused bytes are offered again; stop when nothing moves.
                if (h.cbSrcLengthUsed == 0 && !last) break;
                at += h.cbSrcLengthUsed;
                first = false;
                if (last) break;
            } while (at < size);
            // More data after the end: a new stream on the same handle.
            if (pieceSeed & 2) {
                h.cbSrcLength = uint32_t(size < piece ? size : piece);
                acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END);
                if (h.cbDstLengthUsed > out) __builtin_trap();
            }
            h.cbSrcLength = piece;
            acmStreamUnprepareHeader(has, &h, 0);
        }
    }
    acmStreamClose(has, 0);
    return 0;
}
