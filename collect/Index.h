// The index of stored uploads: one small interface, so a server database can
// stand behind it later, and its SQLite form (STORE/index.sqlite, WAL).
// Tables: uploads (one row per stored archive, sha256 unique, with its
// speaker, take count, total duration, flagged takes and duplicates
// received) and takes (one row per ".wav" entry).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collect/Record.h"

namespace orvant::collect {

// One row of the uploads table as the operator's page shows it.
struct TUploadRow {
    int64_t id = 0;
    std::string received;  // ISO 8601 UTC
    std::string name, country, region, archive;
    int64_t takes = 0, totalMs = 0, flagged = 0, duplicates = 0;
};

// The order, filter and page of the uploads table.
struct TUploadQuery {
    enum TKey { kTime, kSpeaker, kCountry, kRegion, kTakes, kDuration, kFlagged, kDuplicates };
    TKey key = kTime;
    bool descending = true;  // newest first by default
    std::string filter;      // a part of the name, country, region or archive (any case)
    int64_t page = 1;        // 1-based, pages of kPageSize rows
    static constexpr int64_t kPageSize = 100;
};

// One take of an upload as the index holds it.
struct TTakeRow {
    std::string name;
    int64_t bytes = 0;
    bool hasWave = false;  // its header parsed: the wave details are set
    int64_t durationMs = 0, formatTag = 0, channels = 0, rate = 0, bits = 0;
    std::string flags;  // the check's words joined by ", "
};

// How often one take name was recorded: by how many speakers (SpeakerKey
// alike, as the export tells them apart), and how many of those speakers'
// newest takes of it are flagged.
struct TTakeCoverage {
    int64_t speakers = 0, flagged = 0;
};

class TUploadIndex {
public:
    virtual ~TUploadIndex() = default;
    // The folder (relative to the store) of the stored archive with this
    // hash; empty when there is none.
    virtual std::string FolderOf(const std::string& sha256) = 0;
    // Adds the upload's rows and, inside the same transaction, calls place
    // (which puts the folder in place); commits after it. When the commit
    // fails, undo is called and the failure raised: index and folders never
    // disagree. Returns false, having called neither, when an upload with
    // the same hash is already indexed. duplicates starts the row's count.
    virtual bool Add(const TUploadRecord& record, int64_t duplicates, const std::function<void()>& place,
                     const std::function<void()>& undo) = 0;
    // One more copy of the stored archive with this hash was received.
    virtual void CountDuplicate(const std::string& sha256) = 0;
    // Uploads and duplicates counted so far.
    virtual int64_t Uploads() = 0;
    virtual int64_t Duplicates(const std::string& sha256) = 0;

    // For the operator's page: the query's page of uploads, how many match
    // its filter, one upload by id with its folder (false when there is
    // none), an upload's takes in the archive's order, and the coverage of
    // every take name.
    virtual std::vector<TUploadRow> ListUploads(const TUploadQuery& query) = 0;
    virtual int64_t CountUploads(const std::string& filter) = 0;
    virtual bool FindUpload(int64_t id, TUploadRow& row, std::string& folder) = 0;
    virtual std::vector<TTakeRow> TakesOf(int64_t id) = 0;
    virtual std::map<std::string, TTakeCoverage> Coverage() = 0;
};

// Opens (creating when missing) the SQLite index at path. One connection
// behind a mutex serves every thread: SQLite lets one writer in at a time
// anyway, an upload's rows are a few short statements, and one connection
// never sees SQLITE_BUSY from itself. Raises TCollectError(500).
std::unique_ptr<TUploadIndex> OpenSqliteIndex(const std::string& path);

}  // namespace orvant::collect
