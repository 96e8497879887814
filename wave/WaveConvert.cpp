// Format conversion of whole wave images through the audio compression
// manager: one conversion of the whole data block, or two when no converter
// reaches the target directly and the data first goes to the PCM format the
// source decodes to.
#include <cstdlib>
#include <cstring>

#include "platform/codecs/Acm.h"
#include "wave/WaveStorageEditing.h"
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

// Converts the data into pTarget: directly, or through the PCM format the
// source's decoder produces at the source's channel count and sample rate.
// On success out holds the result (null when it is empty).
bool ConvertData(const tWAVEFORMATEX* source, const void* data, uint32_t size, const tWAVEFORMATEX* pTarget,
                 TBlock& out, uint32_t& outSize) {
    // Takes a block ConvertWholeBuffer produced, whether or not it succeeded.
    auto convert = [](const tWAVEFORMATEX* from, const void* d, uint32_t n, const tWAVEFORMATEX* to, TBlock& block,
                      uint32_t& blockSize) {
        void* p = nullptr;
        const bool ok = ConvertWholeBuffer(from, d, n, to, p, blockSize);
        block.reset(static_cast<uint8_t*>(p));
        return ok;
    };
    if (convert(source, data, size, pTarget, out, outSize)) return true;
    out.reset();
    tWAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    pcm.nChannels = source->nChannels;
    pcm.nSamplesPerSec = source->nSamplesPerSec;
    if (acmFormatSuggest(nullptr, source, &pcm, sizeof(pcm),
                         ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                             ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != MMSYSERR_NOERROR)
        return false;
    TBlock decoded;
    uint32_t decodedSize = 0;
    if (!convert(source, data, size, &pcm, decoded, decodedSize)) return false;
    if (convert(&pcm, decoded.get(), decodedSize, pTarget, out, outSize)) return true;
    out.reset();
    return false;
}

}  // namespace

bool TWaveStreamAdapter::ConvertTo(const tWAVEFORMATEX* pTargetWaveFormat) {
    if (SameWaveFormat(pTargetWaveFormat)) return true;
    if (!pTargetWaveFormat) return false;
    void* src = nullptr;
    if (!AcquireData(src, false)) return false;
    // The source block is given back on every path, also when a handler
    // of the rewrite raises.
    bool held = true;
    TScopeExit release([&] {
        if (held) ReleaseData(src, false);
    });
    TBlock dst;
    uint32_t dstSize = 0;
    if (!ConvertData(fWaveFormat, src, fDataSize, pTargetWaveFormat, dst, dstSize)) return false;

    // A copy of the source (a file stream's data) is kept until the new
    // image is written, so that the old content can be put back when the
    // write falls short; a pointer into a memory stream is given up before
    // the rewrite empties that stream.
    const bool direct = MemoryBlock() && src == MemoryBlock() + fDataOffset;
    const uint32_t oldSize = fDataSize;
    const TFormatCopy oldFormat(direct ? nullptr : CopyWaveFormat(fWaveFormat));
    if (!oldFormat) {
        ReleaseData(src, false);
        held = false;
    }
    const bool result = TWaveEditing::RewriteWith(*this, pTargetWaveFormat, dst.get(), dstSize);
    // A short write (a full disk) would leave a cut-off image in place of
    // the old one: put the old content back while it is still held.
    if (!result && held) TWaveEditing::RewriteWith(*this, oldFormat.get(), src, oldSize);
    return result;
}

bool TWaveStreamAdapter::ConvertToPCM(TPCMFormat TargetFormat) {
    if (TargetFormat == nonePCM || TargetFormat > LastPCMFormat) return false;
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, TargetFormat);
    return ConvertTo(&wf);
}

}  // namespace orvant
