// Any byte sequence as a WAVE image: the header parser, the adapter's details
// and its read path must neither crash nor touch memory outside the stream
// or their allocations. What parses must also survive a rewrite unchanged.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Streams.h"
#include "wave/WaveStorage.h"
#include "wave/WaveUtils.h"

using namespace orvant;

namespace {

// Exposes the whole-data access for the copy path.
class TProbe : public TWaveStreamAdapter {
public:
    using TWaveStreamAdapter::TWaveStreamAdapter;
    bool Acquire(void*& data, bool copy) { return AcquireData(data, copy); }
    bool Release(void* data) { return ReleaseData(data, false); }
};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream ms;
    if (size) ms.Write(data, int32_t(size));

    PWaveFormatEx wf = nullptr;
    uint32_t dataSize = 0, dataOffset = 0;
    const bool parsed = ParseStreamWaveHeader(&ms, wf, dataSize, dataOffset);
    Check(parsed == (wf != nullptr));
    Check(ms.Position() == 0);
    if (parsed) {
        // Every one of the 18 + cbSize bytes must be readable.
        std::vector<uint8_t> copy(WaveFormatSize(wf));
        std::memcpy(copy.data(), wf, copy.size());
        (void)DescribeWaveFormat(wf);
        (void)MsForBytes(wf, dataSize);
        (void)BufferBytesForMs(wf, 1000);
    }

    TProbe a(&ms, soReference);
    Check(a.Valid() == parsed);
    (void)a.Length();
    (void)a.AudioFormat();
    (void)a.PeakLevel();
    (void)a.Equals(&a);
    void* block;
    if (a.Acquire(block, true)) {
        // The copy is exactly the data chunk, which lies inside the stream.
        Check(uint64_t(dataOffset) + dataSize <= size);
        Check(std::memcmp(block, data + dataOffset, dataSize) == 0);
        a.Release(block);
    }

    if (a.BeginRead()) {
        Check(a.Position() == 0);
        uint8_t buf[1024];
        uint64_t total = 0;
        for (int32_t n; (n = a.Read(buf, sizeof buf)) > 0;) {
            Check(std::memcmp(buf, data + dataOffset + total, size_t(n)) == 0);
            total += uint64_t(n);
        }
        Check(dataOffset + total == size);
        a.SetPosition(-int64_t(dataOffset) - 1);  // before the stream: refused
        a.SetPosition(int64_t(size) * 3);         // past the end: reads nothing
        Check(a.Read(buf, sizeof buf) == 0);
        a.EndRead();
    }

    // What parses can be written anew and parses to the same record.
    if (parsed && uint64_t(dataOffset) + dataSize <= size) {
        TMemoryStream out;
        TWaveStreamAdapter w(&out, soReference);
        Check(w.BeginRewrite(wf));
        Check(w.Write(data + dataOffset, int32_t(dataSize)) == int32_t(dataSize));
        Check(w.EndRewrite());
        Check(w.Valid() && w.DataSize() == dataSize && w.SameWaveFormat(wf));
    }
    FreeWaveFormat(wf);
    return 0;
}
