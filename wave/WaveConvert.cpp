// Format conversion of whole wave images through the audio compression
// manager: one conversion of the whole data block, or two when no converter
// reaches the target directly and the data first goes to the PCM format the
// source decodes to.
#include <cstdlib>
#include <cstring>

#include "platform/codecs/Acm.h"
#include "wave/WaveStorage.h"
#include "wave/WaveUtils.h"

namespace orvant {

bool ConvertWholeBuffer(const tWAVEFORMATEX* SrcFormat, const void* SrcData, uint32_t SrcSize,
                        const tWAVEFORMATEX* DstFormat, void*& DstData, uint32_t& DstSize) noexcept {
    HACMSTREAM has = nullptr;
    if (acmStreamOpen(&has, nullptr, SrcFormat, DstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
        MMSYSERR_NOERROR)
        return false;
    uint32_t size = 0;
    if (acmStreamSize(has, SrcSize, &size, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR) {
        acmStreamClose(has, 0);
        return false;
    }
    DstSize = size;
    DstData = nullptr;
    // One byte more than asked for keeps the block non-null for a size of 0.
    DstData = std::malloc(size_t(DstSize) + 1);

    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof(header);
    header.pbSrc = static_cast<uint8_t*>(const_cast<void*>(SrcData));
    header.cbSrcLength = SrcSize;
    header.pbDst = static_cast<uint8_t*>(DstData);
    header.cbDstLength = DstData ? DstSize : 0;
    bool ok = false;
    if (DstData && acmStreamPrepareHeader(has, &header, 0) == MMSYSERR_NOERROR) {
        // Source bytes left unconverted would be lost: that is no success.
        ok = acmStreamConvert(has, &header, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END) == MMSYSERR_NOERROR &&
             header.cbSrcLengthUsed == SrcSize;
        acmStreamUnprepareHeader(has, &header, 0);
    }
    // Sized to what was produced; nothing produced leaves no block.
    const uint32_t used = (DstData && header.cbDstLengthUsed <= DstSize) ? header.cbDstLengthUsed : 0;
    if (used == 0) {
        std::free(DstData);
        DstData = nullptr;
    } else if (used < DstSize) {
        if (void* smaller = std::realloc(DstData, used)) DstData = smaller;
    }
    DstSize = used;
    acmStreamClose(has, 0);
    return ok;
}

namespace {

// Writes Count bytes in pieces a single Write can take; the bytes written.
uint64_t WriteAll(TWaveStreamAdapter& wave, const void* data, uint32_t count) {
    constexpr uint32_t kPiece = 1u << 30;
    uint64_t done = 0;
    while (done < count) {
        const uint32_t n = count - done < kPiece ? uint32_t(count - done) : kPiece;
        const int32_t w = wave.Write(static_cast<const uint8_t*>(data) + done, int32_t(n));
        if (w <= 0) break;
        done += uint32_t(w);
        if (uint32_t(w) < n) break;
    }
    return done;
}

}  // namespace

bool TWaveStreamAdapter::ConvertTo(const tWAVEFORMATEX* pTargetWaveFormat) {
    if (SameWaveFormat(pTargetWaveFormat)) return true;
    if (!pTargetWaveFormat) return false;
    void* src = nullptr;
    if (!AcquireData(src, false)) return false;

    void* dst = nullptr;
    uint32_t dstSize = 0;
    bool ok = false;
    // A copy of the source (a file stream's data) is kept until the new
    // image is written, so that the old content can be put back when the
    // write falls short; a pointer into a memory stream is given up before
    // the rewrite empties that stream.
    const bool direct = MemoryBlock() && src == MemoryBlock() + fDataOffset;
    PWaveFormatEx oldFormat = nullptr;
    const uint32_t oldSize = fDataSize;
    bool released = false;
    try {
        ok = ConvertWholeBuffer(fWaveFormat, src, fDataSize, pTargetWaveFormat, dst, dstSize);
        if (!ok) {
            std::free(dst);
            dst = nullptr;
            // Through the PCM format the source's decoder produces, at the
            // source's channel count and sample rate.
            tWAVEFORMATEX pcm{};
            pcm.wFormatTag = WAVE_FORMAT_PCM;
            pcm.nChannels = fWaveFormat->nChannels;
            pcm.nSamplesPerSec = fWaveFormat->nSamplesPerSec;
            if (acmFormatSuggest(nullptr, fWaveFormat, &pcm, sizeof(pcm),
                                 ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                     ACM_FORMATSUGGESTF_NSAMPLESPERSEC) == MMSYSERR_NOERROR) {
                void* tmp = nullptr;
                uint32_t tmpSize = 0;
                if (ConvertWholeBuffer(fWaveFormat, src, fDataSize, &pcm, tmp, tmpSize)) {
                    // The intermediate block is not needed past this call.
                    if (!direct) oldFormat = CopyWaveFormat(fWaveFormat);
                    ok = ConvertWholeBuffer(&pcm, tmp, tmpSize, pTargetWaveFormat, dst, dstSize);
                }
                std::free(tmp);
            }
        } else if (!direct) {
            oldFormat = CopyWaveFormat(fWaveFormat);
        }
        if (!ok) {
            std::free(dst);
            dst = nullptr;
        }
        if (direct || !ok || !oldFormat) {
            ReleaseData(src, false);
            released = true;
        }
    } catch (...) {
        std::free(dst);
        FreeWaveFormat(oldFormat);
        if (!released) ReleaseData(src, false);
        throw;
    }
    if (!ok) {
        FreeWaveFormat(oldFormat);
        return false;
    }

    bool result = false;
    if (BeginRewrite(pTargetWaveFormat)) {
        result = WriteAll(*this, dst, dstSize) == dstSize;
        const bool ended = EndRewrite();
        result = result && ended;
        // A short write (a full disk) would leave a cut-off image in place
        // of the old one: put the old content back while it is still held.
        if (!result && !released && BeginRewrite(oldFormat)) {
            WriteAll(*this, src, oldSize);
            EndRewrite();
        }
    }
    std::free(dst);
    if (!released) ReleaseData(src, false);
    FreeWaveFormat(oldFormat);
    return result;
}

bool TWaveStreamAdapter::ConvertToPCM(TPCMFormat TargetFormat) {
    if (TargetFormat == nonePCM || TargetFormat > LastPCMFormat) return false;
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, TargetFormat);
    return ConvertTo(&wf);
}

}  // namespace orvant
