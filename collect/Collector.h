// The receiving side of the store: the upload request's body handler, which
// streams the archive to STORE/tmp while inflating and extracting it, then
// checks, keeps and indexes it; and the store's folders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "collect/Http.h"
#include "collect/Index.h"

namespace orvant::collect {

struct TCollectLimits {
    uint64_t maxBody = uint64_t(2) << 30;  // bytes of a request body
};

// Where the store keeps what: tmp/, uploads/, index.sqlite.
std::string StoreTmp(const std::string& store);
std::string StoreUploads(const std::string& store);
std::string StoreIndexPath(const std::string& store);

// Removes a folder and everything below it, never following links.
void RemoveTree(const std::string& path);

// True when name may be a stored archive's name: 1 to 100 of the letters,
// digits, '.', '_' and '-', not starting with '.', and not one of the
// names the store gives its own files.
bool IsSafeArchiveName(const std::string& name);

// The start of the names this machine's uploads get in tmp/: its host name
// and a dot.
std::string TmpPrefix();

// Creates the store's folders when missing and removes from tmp/ what an
// earlier run on this machine left half received. Raises TCollectError.
void PrepareStore(const std::string& store);

class TCollector {
public:
    TCollector(std::string store, TUploadIndex& index, TCollectLimits limits);
    // A handler for one POST of an archive.
    std::unique_ptr<TBodyHandler> NewUpload();

    const std::string& Store() const { return fStore; }
    TUploadIndex& Index() { return fIndex; }
    const TCollectLimits& Limits() const { return fLimits; }

private:
    std::string fStore;
    TUploadIndex& fIndex;
    TCollectLimits fLimits;
};

}  // namespace orvant::collect
