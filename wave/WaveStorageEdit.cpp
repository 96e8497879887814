// Editing operations of the wave stream adapter. They work on the whole data
// in memory (AcquireData / ReleaseData) and most of them store their result
// by a complete rewrite of the adapter. Every data block, copy, gap and
// output buffer is released on every path, also when a stream or an event
// handler raises; a rewrite that was begun is always ended.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "wave/WaveStorageEditing.h"

namespace orvant {

namespace {

// Output of Mix is averaged and written this many bytes at a time, so the
// mix never needs a second block of the full size and stays in the cache
// between averaging and writing. A multiple of every PCM block size.
constexpr uint32_t kMixStep = 32 * 1024;
// Largest silence block written at once for a Concat gap.
constexpr uint32_t kGapStep = 1024 * 1024;

// Whole writes through the open rewrite.
bool WriteAll(TWaveStreamAdapter& a, const void* Data, uint32_t Size) {
    return WriteInPieces(a, Data, Size) == Size;
}

}  // namespace

// ------------------------------------------------------------ in place

void TWaveStreamAdapter::Crop() {
    if (fState == wssWriting || !Valid()) return;
    // Only ever shortens: a data chunk that claims more than the stream
    // holds is not padded out with invented bytes.
    const int64_t end = int64_t(fDataOffset) + int64_t(fDataSize);
    if (fStream->Size() > end) fStream->SetSize(end);
}

bool TWaveStreamAdapter::Invert() {
    void* data;
    if (!AcquireData(data, false)) return false;
    const bool reversed = ReverseSampleOrder(data, fDataSize, fWaveFormat);
    // A copy goes back only when something changed; a failed write-back is
    // a failure.
    const bool released = ReleaseData(data, reversed);
    return reversed && released;
}

bool TWaveStreamAdapter::ChangeVolume(int32_t Percent) {
    void* data;
    if (!AcquireData(data, false)) return false;
    const bool scaled = ScaleSampleValues(data, fDataSize, fWaveFormat, Percent);
    const bool released = ReleaseData(data, scaled);
    return scaled && released;
}

// ------------------------------------------------------------ ranges

bool TWaveStreamAdapter::Copy(TWaveStreamAdapter* Source, uint32_t Pos, uint32_t Len) {
    return TWaveEditing::CopyRange(*this, Source, Pos, Len);
}

bool TWaveStreamAdapter::Sub(uint32_t Pos, uint32_t Len) { return TWaveEditing::CopyRange(*this, this, Pos, Len); }

bool TWaveStreamAdapter::Delete(uint32_t Pos, uint32_t Len) {
    if (!Valid() || Len == 0 || Pos >= Length()) return false;
    uint32_t start, end;
    TWaveEditing::ByteRange(*this, Pos, Len, start, end);
    return TWaveEditing::DeleteBytes(*this, start, end);
}

bool TWaveStreamAdapter::TrimStart(uint32_t Len) { return Delete(0, Len); }

bool TWaveStreamAdapter::TrimEnd(uint32_t Len) {
    if (!Valid()) return false;
    const uint32_t length = Length();
    Len = std::min(Len, length);
    if (Len == 0) return false;
    // The range runs to the last data byte: milliseconds rounded to whole
    // blocks at both ends could otherwise leave a few bytes of the end.
    const uint32_t start = Len == length ? 0 : std::min(BytesForMs(length - Len), fDataSize);
    return TWaveEditing::DeleteBytes(*this, start, fDataSize);
}

bool TWaveStreamAdapter::Insert(uint32_t Pos, TWaveStreamAdapter* WaveStream) {
    if (!WaveStream || !SameFormat(WaveStream)) return false;
    const uint32_t at = std::min(BytesForMs(Pos), fDataSize);
    void* data;
    if (!AcquireData(data, true)) return false;
    TScopeExit release([&] { ReleaseData(data, false); });
    const uint32_t size = fDataSize;
    uint32_t n;
    {
        void* ins;
        if (!WaveStream->AcquireData(ins, false)) return false;
        // The inserted adapter's block is given back before the rewrite: it
        // may point into this adapter's own stream.
        TScopeExit releaseIns([&] { WaveStream->ReleaseData(ins, false); });
        n = WaveStream->fDataSize;
        if (uint64_t(size) + n > UINT32_MAX) return false;
        void* grown = std::realloc(data, size_t(size) + n);
        if (!grown) return false;
        data = grown;
        auto* p = static_cast<uint8_t*>(data);
        std::memmove(p + at + n, p + at, size - at);
        std::memcpy(p + at, ins, n);
    }
    return TWaveEditing::Rewrite(*this, fWaveFormat, data, size + n);
}

bool TWaveStreamAdapter::InsertSilence(uint32_t Pos, uint32_t Len) {
    if (!Valid() || Len == 0) return false;
    const uint32_t at = std::min(BytesForMs(Pos), fDataSize);
    const uint32_t n = BytesForMs(Len);
    if (uint64_t(fDataSize) + n > UINT32_MAX) return false;
    void* data;
    if (!AcquireData(data, true)) return false;
    TScopeExit release([&] { ReleaseData(data, false); });
    const uint32_t size = fDataSize;
    void* grown = std::realloc(data, size_t(size) + n);
    if (!grown) return false;
    data = grown;
    auto* p = static_cast<uint8_t*>(data);
    std::memmove(p + at + n, p + at, size - at);
    if (!FillWithSilence(p + at, n, fWaveFormat)) return false;
    return TWaveEditing::Rewrite(*this, fWaveFormat, p, size + n);
}

// ------------------------------------------------------------ several sources

bool TWaveStreamAdapter::Concat(const std::vector<TWaveStreamAdapter*>& Sources, uint32_t GapMs) {
    if (Sources.empty() || !Sources[0] || !Sources[0]->Valid()) return false;
    TFormatCopy format(CopyWaveFormat(Sources[0]->fWaveFormat));
    if (!format) return false;

    // The gap between sources: silence of the first source's format. A
    // format without a silence value gets no gap.
    uint32_t gap = 0;
    if (GapMs > 0 && Sources.size() >= 2 && SilenceValue(format.get()) >= 0) {
        gap = BlockBytesForMs(format.get(), GapMs);
        if (gap == UINT32_MAX) return false;  // the conversion overflowed
    }
    // The whole image must fit the 32-bit data size of a WAVE file.
    uint64_t total = uint64_t(gap) * (Sources.size() - 1);
    for (TWaveStreamAdapter* source : Sources)
        if (source) total += source->DataSize();
    if (total > UINT32_MAX) return false;

    TBlock gapBlock;
    const uint32_t gapStep = std::min(gap, kGapStep);
    if (gap > 0) {
        gapBlock.reset(static_cast<uint8_t*>(std::malloc(gapStep)));
        if (!gapBlock) return false;
        FillWithSilence(gapBlock.get(), gapStep, format.get());
    }

    // Sources that share this adapter's stream are copied before the
    // rewrite empties it.
    std::vector<void*> ownCopies(Sources.size(), nullptr);
    std::vector<uint32_t> ownSizes(Sources.size(), 0);
    TScopeExit releaseCopies([&] {
        for (size_t k = 0; k < Sources.size(); ++k)
            if (ownCopies[k]) Sources[k]->ReleaseData(ownCopies[k], false);
    });
    for (size_t k = 0; k < Sources.size(); ++k) {
        TWaveStreamAdapter* source = Sources[k];
        if (source && source->fStream == fStream && source->AcquireData(ownCopies[k], true))
            ownSizes[k] = source->fDataSize;
    }

    if (!TWaveEditing::BeginRewrite(*this, format.get())) return false;
    TScopeExit endRewrite([&] { TWaveEditing::EndOpenRewrite(*this); });
    bool complete = true;
    for (size_t k = 0; k < Sources.size() && complete; ++k) {
        for (uint32_t left = k > 0 ? gap : 0; left > 0 && complete;) {
            const uint32_t n = std::min(left, gapStep);
            complete = WriteAll(*this, gapBlock.get(), n);
            left -= n;
        }
        if (!complete) break;
        TWaveStreamAdapter* source = Sources[k];
        if (ownCopies[k]) {
            complete = WriteAll(*this, ownCopies[k], ownSizes[k]);
        } else if (source && source->fStream != fStream) {
            void* data;
            if (!source->AcquireData(data, false)) {
                complete = false;
            } else {
                TScopeExit release([&] { source->ReleaseData(data, false); });
                complete = WriteAll(*this, data, source->fDataSize);
            }
        } else {
            complete = false;  // no source, or our own stream without data
        }
    }
    const bool ended = EndRewrite();
    return complete && ended;
}

bool TWaveStreamAdapter::Mix(const std::vector<TWaveStreamAdapter*>& Sources) {
    if (Sources.empty() || !Sources[0] || !Sources[0]->Valid()) return false;
    TFormatCopy format(CopyWaveFormat(Sources[0]->fWaveFormat));
    if (!format) return false;

    // The mixing table; each entry is given back by the adapter it came from.
    const size_t count = Sources.size();
    std::vector<TMixingSource> table(count, TMixingSource{nullptr, 0});
    TScopeExit releaseTable([&] {
        for (size_t k = count; k-- > 0;)
            if (table[k].Data) Sources[k]->ReleaseData(const_cast<void*>(table[k].Data), false);
    });
    uint32_t longest = 0;
    for (size_t k = 0; k < count; ++k) {
        TWaveStreamAdapter* source = Sources[k];
        if (!source || !source->SameWaveFormat(format.get())) return false;
        const uint32_t size = source->DataSize();
        if (size == 0) continue;  // contributes silence from the start
        void* data;
        // The output is written while the sources are still being read, so
        // a source on this adapter's own stream is read through a copy.
        if (!source->AcquireData(data, source->fStream == fStream)) return false;
        table[k] = TMixingSource{data, size};
        longest = std::max(longest, size);
    }

    // Averaged and written one step at a time; each step reads every source
    // from the same offset, which is what averaging the whole would do.
    const uint32_t step = std::min(longest, kMixStep);
    TBlock output(static_cast<uint8_t*>(std::malloc(std::max<uint32_t>(step, 1))));
    if (!output) return false;
    std::vector<TMixingSource> window(table);
    auto average = [&](uint32_t offset, uint32_t n) {
        for (size_t k = 0; k < count; ++k) {
            const uint32_t size = table[k].Size;
            window[k].Size = size > offset ? size - offset : 0;
            window[k].Data = window[k].Size ? static_cast<const uint8_t*>(table[k].Data) + offset : nullptr;
        }
        return AverageSampleBuffers(window.data(), int(count), format.get(), n, output.get());
    };
    // The first step is averaged before the rewrite: a format that cannot be
    // mixed leaves the content unchanged.
    if (!average(0, step)) return false;

    if (!TWaveEditing::BeginRewrite(*this, format.get())) return false;
    TScopeExit endRewrite([&] { TWaveEditing::EndOpenRewrite(*this); });
    bool complete = WriteAll(*this, output.get(), step);
    for (uint32_t offset = step; offset < longest && complete; offset += step) {
        const uint32_t n = std::min(step, longest - offset);
        complete = average(offset, n) && WriteAll(*this, output.get(), n);
    }
    const bool ended = EndRewrite();
    return complete && ended;
}

}  // namespace orvant
