// One stored upload as the store describes it: the speaker from info.txt,
// the entries with their wave details and take flags, and its upload.json
// text (written by the server, read back by the index rebuild).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvant::collect {

struct TSpeaker {
    std::string name, country, region;  // UTF-8
    std::string encoding = "utf-8";     // or "latin-1": info.txt was not UTF-8
    std::string rawName, rawCountry, rawRegion;  // the bytes in hex, latin-1 only
};

// Who a speaker is, for counting speakers (the coverage page) and naming
// them (the export): "name\ncountry\nregion", each part NFC-normalised,
// case-folded, its whitespace collapsed and trimmed, so that one speaker's
// spellings of one name count once. The short id is the first hexDigits hex
// digits of the key's SHA-256.
std::string SpeakerKey(const std::string& name, const std::string& country, const std::string& region);
std::string SpeakerIdOf(const std::string& key, size_t hexDigits = 8);

// Reads "Speakername=..\r\nCountry=..\r\nRegion=..\r\n" (LF alone is taken
// too; unknown keys are skipped): UTF-8 when the whole text is valid UTF-8,
// else Latin-1 with every value's bytes kept in hex.
TSpeaker ParseSpeakerInfo(const std::string& bytes);

struct TWaveDetails {
    uint16_t formatTag = 0, channels = 0, bits = 0;
    uint32_t rate = 0, durationMs = 0;
};

struct TEntryRecord {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256;
    bool take = false;  // a ".wav" entry: flags are set, and wave when its header parsed
    bool hasWave = false;
    TWaveDetails wave;
    std::vector<std::string> flags;
};

struct TUploadRecord {
    std::string archive, sha256;
    uint64_t bytes = 0;
    std::string received;  // "YYYY-MM-DDTHH:MM:SSZ"
    std::string client;
    std::string folder;  // relative to the store
    TSpeaker speaker;
    std::vector<TEntryRecord> entries;

    int Takes() const;
    uint64_t TotalMs() const;
    int Flagged() const;
};

// True for a name ending in ".wav" in any case.
bool IsTakeName(const std::string& name);
// True for an entry name that stands for one plain file of its upload folder
// (not empty, no '/', '\' or NUL, no leading dot): what the operator's page
// and the export open, whatever an index or upload.json says.
bool IsPlainEntryName(const std::string& name);
// The entry record of a take file at path: its wave details when its header
// parses, and the take check's flags (wave/WaveCheck).
void CheckTake(const std::string& path, TEntryRecord& entry);

std::string UploadJson(const TUploadRecord& record);
// false with why when text is not an upload record.
bool ParseUploadJson(const std::string& text, TUploadRecord& record, std::string& why);

}  // namespace orvant::collect
