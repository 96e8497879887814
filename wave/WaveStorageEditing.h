// Internal helpers shared by the adapter's editing operations
// (WaveStorageEdit.cpp), its format conversion (WaveConvert.cpp) and its
// whole-content transfers (WaveStorage.cpp). Not part of the adapter's API.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "wave/WaveStorage.h"

namespace orvant {

// Runs a clean-up step when the scope is left, also by an exception.
template <typename F>
class TScopeExit {
public:
    explicit TScopeExit(F f) : fAction(std::move(f)) {}
    ~TScopeExit() { fAction(); }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F fAction;
};

struct TFreeWaveFormat {
    void operator()(PWaveFormatEx p) const { FreeWaveFormat(p); }
};
using TFormatCopy = std::unique_ptr<tWAVEFORMATEX, TFreeWaveFormat>;

struct TFreeBlock {
    void operator()(void* p) const { std::free(p); }
};
using TBlock = std::unique_ptr<uint8_t, TFreeBlock>;

// Writes Size bytes through Sink.Write (a stream or an adapter, whose counts
// are 32-bit signed) in pieces such a count carries. Stops at the first
// failed or short write; the bytes written.
template <typename Sink>
uint64_t WriteInPieces(Sink& sink, const void* Data, uint32_t Size) {
    constexpr uint32_t kPiece = 1u << 30;
    const auto* p = static_cast<const uint8_t*>(Data);
    uint64_t done = 0;
    while (done < Size) {
        const uint32_t n = uint32_t(std::min<uint64_t>(Size - done, kPiece));
        const int32_t w = sink.Write(p + done, int32_t(n));
        if (w <= 0) break;
        done += uint32_t(w);
        if (uint32_t(w) < n) break;
    }
    return done;
}

// Helpers with access to the adapter's protected parts.
struct TWaveEditing {
    // Ends a rewrite left open by an exception, so that the adapter holds a
    // finished image and accepts the next read or rewrite.
    static void EndOpenRewrite(TWaveStreamAdapter& a) noexcept {
        if (a.fState != wssWriting) return;
        try {
            a.EndRewrite();
        } catch (...) {
            // An OnChange handler raising while we unwind: the image is
            // finished already, the handler's exception is not ours to report.
        }
    }

    // BeginRewrite that, should an OnChanging handler raise after the new
    // header was written, ends the rewrite it began before passing the
    // exception on.
    static bool BeginRewrite(TWaveStreamAdapter& a, const tWAVEFORMATEX* pWaveFormat) {
        const bool wasReady = a.fState == wssReady;
        try {
            return a.BeginRewrite(pWaveFormat);
        } catch (...) {
            if (wasReady) EndOpenRewrite(a);
            throw;
        }
    }

    // Replaces the content with Size bytes of Data in pWaveFormat. True when
    // the rewrite began, the data was written whole and the image was
    // finished; the rewrite is ended also when a handler raises.
    static bool RewriteWith(TWaveStreamAdapter& a, const tWAVEFORMATEX* pWaveFormat, const void* Data,
                            uint32_t Size) {
        if (!BeginRewrite(a, pWaveFormat)) return false;
        TScopeExit guard([&] { EndOpenRewrite(a); });
        const bool written = WriteInPieces(a, Data, Size) == Size;
        const bool ended = a.EndRewrite();
        return written && ended;
    }

    // As RewriteWith, and an empty result counts as a failure (the editing
    // operations that leave nothing report that).
    static bool Rewrite(TWaveStreamAdapter& a, const tWAVEFORMATEX* pWaveFormat, const void* Data, uint32_t Size) {
        return RewriteWith(a, pWaveFormat, Data, Size) && Size > 0;
    }

    // [start, end) in bytes for Pos and Len of a valid adapter: whole
    // blocks, never past the data, without wrapping around.
    static void ByteRange(TWaveStreamAdapter& a, uint32_t Pos, uint32_t Len, uint32_t& start, uint32_t& end) {
        start = std::min(a.BytesForMs(Pos), a.fDataSize);
        end = uint32_t(std::min<uint64_t>(uint64_t(start) + a.BytesForMs(Len), a.fDataSize));
    }

    // Copy and Sub: the bytes [Pos, Pos + Len) of Source become the content.
    // A source that shares this adapter's stream is read through a private
    // copy, because the rewrite empties that stream before writing.
    static bool CopyRange(TWaveStreamAdapter& a, TWaveStreamAdapter* Source, uint32_t Pos, uint32_t Len) {
        if (!Source || !Source->Valid() || Len == 0 || Pos >= Source->Length()) return false;
        uint32_t start, end;
        ByteRange(*Source, Pos, Len, start, end);
        const bool ownStream = Source->fStream == a.fStream;
        void* data;
        if (!Source->AcquireData(data, ownStream)) return false;
        TScopeExit release([&] { Source->ReleaseData(data, false); });
        TFormatCopy format(CopyWaveFormat(Source->fWaveFormat));
        if (!format) return false;
        return Rewrite(a, format.get(), static_cast<uint8_t*>(data) + start, end - start);
    }

    // Removes the bytes [start, end) (valid adapter, start <= end <= data size).
    static bool DeleteBytes(TWaveStreamAdapter& a, uint32_t start, uint32_t end) {
        void* data;
        if (!a.AcquireData(data, true)) return false;
        TScopeExit release([&] { a.ReleaseData(data, false); });
        const uint32_t size = a.fDataSize;
        auto* p = static_cast<uint8_t*>(data);
        std::memmove(p + start, p + end, size - end);
        return Rewrite(a, a.fWaveFormat, p, size - (end - start));
    }
};

}  // namespace orvant
