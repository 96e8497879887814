// Any byte sequence as a voice archive: the reader must neither crash nor
// hand on more than an entry declares, must end every entry it begins with
// exactly its declared size, and must judge the bytes the same whatever the
// pieces they arrive in.
#include <cstdint>
#include <string>
#include <vector>

#include "upload/VoiceArchive.h"

using namespace orvant;

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

struct TSink : TArchiveEntrySink {
    std::vector<std::string> names;
    std::vector<uint64_t> got;
    uint32_t size = 0;
    bool open = false;
    void EntryBegin(const std::string& name, uint32_t s) override {
        Check(!open && !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
              name.find('\\') == std::string::npos);
        names.push_back(name);
        got.push_back(0);
        size = s;
        open = true;
    }
    void EntryData(const uint8_t*, size_t n) override {
        Check(open && n > 0);
        got.back() += n;
        Check(got.back() <= size);
    }
    void EntryEnd() override {
        Check(open && got.back() == size);
        open = false;
    }
};

struct TResult {
    bool ok;
    std::string error;
    std::vector<std::string> names;
    std::vector<uint64_t> got;
};

TResult Read(const uint8_t* data, size_t size, size_t chunk) {
    TSink sink;
    TVoiceArchiveReader reader(sink);
    for (size_t i = 0; i < size && reader.Feed(data + i, std::min(chunk, size - i)); i += chunk) {
    }
    const bool ok = reader.Finish();
    Check(ok == !reader.Failed() && (!ok || reader.Complete()));
    Check(!ok || !sink.open);
    return {ok, reader.Error().substr(0, reader.Error().find(" (at byte")), sink.names, sink.got};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TResult whole = Read(data, size, size + 1);
    const TResult pieces = Read(data, size, size > 0 ? 1 + data[0] % 7 : 1);
    Check(whole.ok == pieces.ok && whole.error == pieces.error && whole.names == pieces.names);
    if (whole.ok) Check(whole.got == pieces.got);
    return 0;
}
