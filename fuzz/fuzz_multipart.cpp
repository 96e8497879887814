// Any byte sequence as a multipart/form-data body: the reader must neither
// crash nor lose or invent content bytes, and must judge the body the same
// whatever the pieces it arrives in.
#include <cstdint>
#include <string>
#include <vector>

#include "collect/Multipart.h"

using namespace orvant::collect;

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

struct TSink : TMultipartSink {
    std::vector<std::string> parts;
    bool open = false;
    void PartBegin(const std::string& name, const std::string& fileName) override {
        Check(!open && !name.empty());
        parts.push_back(name + "|" + fileName + "|");
        open = true;
    }
    void PartData(const uint8_t* d, size_t n) override {
        Check(open);
        parts.back().append(reinterpret_cast<const char*>(d), n);
    }
    void PartEnd() override {
        Check(open);
        open = false;
    }
};

struct TResult {
    bool ok;
    std::string error;
    std::vector<std::string> parts;
    bool operator==(const TResult&) const = default;
};

TResult Read(const std::string& boundary, const uint8_t* data, size_t size, size_t chunk) {
    TSink sink;
    TMultipartReader reader(boundary, sink);
    for (size_t i = 0; i < size && reader.Feed(data + i, std::min(chunk, size - i)); i += chunk) {
    }
    const bool ok = reader.Finish();
    Check(!ok || !sink.open);
    if (!ok) sink.parts.clear();  // a failed body's parts may stop at different bytes
    return {ok, reader.Error(), sink.parts};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string boundary = "--------120926150000123";
    const TResult whole = Read(boundary, data, size, size + 1);
    const TResult pieces = Read(boundary, data, size, size > 0 ? 1 + data[size - 1] % 13 : 1);
    Check(whole == pieces);
    return 0;
}
