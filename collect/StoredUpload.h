// An upload as the store keeps it, read back from its folder's upload.json
// (the operator's page and the export read the store; the receiver writes it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvant {

struct TStoredEntry {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256;
    bool isWave = false;  // a ".wav" entry (with or without a readable header)
    bool hasFormat = false;  // the "wave" object was present
    uint16_t formatTag = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    uint64_t durationMs = 0;
    std::vector<std::string> flags;  // the take check's words
};

struct TStoredSpeaker {
    std::string name, country, region, encoding;
};

struct TStoredUpload {
    std::string dir;     // absolute folder of the upload, with no trailing '/'
    std::string folder;  // relative to the store, as upload.json states it
    std::string archive, sha256, received, client;
    uint64_t bytes = 0;
    TStoredSpeaker speaker;
    std::vector<TStoredEntry> entries;
};

// Reads dir/upload.json. Raises Exception naming the file when it is missing
// or is not the object the store writes; keys it does not know are ignored.
TStoredUpload ReadStoredUpload(const std::string& dir);

// The upload folders of store (STORE/uploads/<day>/<name>/ holding an
// upload.json), sorted by path: by day, then by name.
std::vector<std::string> ListUploadFolders(const std::string& store);

// True for an entry name that is one plain file name of the upload folder:
// not empty, no '/' or '\' or NUL, not starting with '.'.
bool IsStoredEntryName(const std::string& name);

}  // namespace orvant
