// The index of stored uploads: one small interface, so a server database can
// stand behind it later, and its SQLite form (STORE/index.sqlite, WAL).
// Tables: uploads (one row per stored archive, sha256 unique, with its
// speaker, take count, total duration, flagged takes and duplicates
// received) and takes (one row per ".wav" entry).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "collect/Record.h"

namespace orvant::collect {

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
};

// Opens (creating when missing) the SQLite index at path. One connection
// behind a mutex serves every thread: SQLite lets one writer in at a time
// anyway, an upload's rows are a few short statements, and one connection
// never sees SQLITE_BUSY from itself. Raises TCollectError(500).
std::unique_ptr<TUploadIndex> OpenSqliteIndex(const std::string& path);

}  // namespace orvant::collect
