#include <sqlite3.h>

#include <mutex>

#include "collect/Files.h"
#include "collect/Index.h"

namespace orvant::collect {

namespace {

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS uploads (
  id INTEGER PRIMARY KEY,
  sha256 TEXT NOT NULL UNIQUE,
  archive TEXT NOT NULL,
  folder TEXT NOT NULL,
  received TEXT NOT NULL,
  client TEXT NOT NULL,
  name TEXT NOT NULL,
  country TEXT NOT NULL,
  region TEXT NOT NULL,
  takes INTEGER NOT NULL,
  total_ms INTEGER NOT NULL,
  flagged INTEGER NOT NULL,
  duplicates INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS takes (
  upload_id INTEGER NOT NULL REFERENCES uploads(id),
  name TEXT NOT NULL,
  bytes INTEGER NOT NULL,
  sha256 TEXT NOT NULL,
  duration_ms INTEGER,
  format_tag INTEGER,
  channels INTEGER,
  rate INTEGER,
  bits INTEGER,
  flags TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS takes_upload ON takes(upload_id);
)";

// A prepared statement, finalized however the call ends.
class TStatement {
public:
    TStatement(sqlite3* db, const char* sql) : fDb(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &fStmt, nullptr) != SQLITE_OK) Raise("prepare");
    }
    ~TStatement() { sqlite3_finalize(fStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    TStatement& Bind(int i, const std::string& s) {
        sqlite3_bind_text(fStmt, i, s.data(), int(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    TStatement& Bind(int i, int64_t v) {
        sqlite3_bind_int64(fStmt, i, v);
        return *this;
    }
    TStatement& Null(int i) {
        sqlite3_bind_null(fStmt, i);
        return *this;
    }
    // SQLITE_ROW or SQLITE_DONE; raises on anything else except a
    // constraint, which it returns.
    int Step() {
        const int r = sqlite3_step(fStmt);
        if (r != SQLITE_ROW && r != SQLITE_DONE && r != SQLITE_CONSTRAINT) Raise("step");
        return r;
    }
    int64_t Int(int col) { return sqlite3_column_int64(fStmt, col); }
    std::string Text(int col) {
        const auto* t = sqlite3_column_text(fStmt, col);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
    [[noreturn]] void Raise(const char* what) {
        throw TCollectError(500, std::string("index ") + what + ": " + sqlite3_errmsg(fDb));
    }

private:
    sqlite3* fDb;
    sqlite3_stmt* fStmt = nullptr;
};

class TSqliteIndex : public TUploadIndex {
public:
    explicit TSqliteIndex(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &fDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            const std::string why = fDb ? sqlite3_errmsg(fDb) : "out of memory";
            sqlite3_close(fDb);
            throw TCollectError(500, "cannot open the index " + path + ": " + why);
        }
        sqlite3_busy_timeout(fDb, 10000);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA foreign_keys=ON");
        Exec(kSchema);
    }
    ~TSqliteIndex() override { sqlite3_close(fDb); }

    std::string FolderOf(const std::string& sha256) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, "SELECT folder FROM uploads WHERE sha256 = ?");
        s.Bind(1, sha256);
        return s.Step() == SQLITE_ROW ? s.Text(0) : std::string();
    }

    bool Add(const TUploadRecord& r, int64_t duplicates, const std::function<void()>& place,
             const std::function<void()>& undo) override {
        std::lock_guard<std::mutex> g(fLock);
        Exec("BEGIN IMMEDIATE");
        try {
            TStatement u(fDb,
                         "INSERT INTO uploads (sha256, archive, folder, received, client, name, country, region, "
                         "takes, total_ms, flagged, duplicates) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
            u.Bind(1, r.sha256).Bind(2, r.archive).Bind(3, r.folder).Bind(4, r.received).Bind(5, r.client);
            u.Bind(6, r.speaker.name).Bind(7, r.speaker.country).Bind(8, r.speaker.region);
            u.Bind(9, int64_t(r.Takes())).Bind(10, int64_t(r.TotalMs())).Bind(11, int64_t(r.Flagged()));
            u.Bind(12, duplicates);
            if (u.Step() == SQLITE_CONSTRAINT) {
                Exec("ROLLBACK");
                return false;
            }
            const int64_t id = sqlite3_last_insert_rowid(fDb);
            for (const TEntryRecord& e : r.entries) {
                if (!e.take) continue;
                TStatement t(fDb,
                             "INSERT INTO takes (upload_id, name, bytes, sha256, duration_ms, format_tag, channels, "
                             "rate, bits, flags) VALUES (?,?,?,?,?,?,?,?,?,?)");
                t.Bind(1, id).Bind(2, e.name).Bind(3, int64_t(e.bytes)).Bind(4, e.sha256);
                if (e.hasWave) {
                    t.Bind(5, int64_t(e.wave.durationMs)).Bind(6, int64_t(e.wave.formatTag));
                    t.Bind(7, int64_t(e.wave.channels)).Bind(8, int64_t(e.wave.rate)).Bind(9, int64_t(e.wave.bits));
                } else {
                    t.Null(5).Null(6).Null(7).Null(8).Null(9);
                }
                std::string flags;
                for (const std::string& f : e.flags) flags += (flags.empty() ? "" : ", ") + f;
                t.Bind(10, flags);
                if (t.Step() != SQLITE_DONE) t.Raise("insert take");
            }
        } catch (...) {
            Exec("ROLLBACK");
            throw;
        }
        try {
            place();
        } catch (...) {
            Exec("ROLLBACK");
            throw;
        }
        if (sqlite3_exec(fDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string why = sqlite3_errmsg(fDb);
            sqlite3_exec(fDb, "ROLLBACK", nullptr, nullptr, nullptr);
            undo();
            throw TCollectError(500, "index commit failed: " + why);
        }
        return true;
    }

    void CountDuplicate(const std::string& sha256) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, "UPDATE uploads SET duplicates = duplicates + 1 WHERE sha256 = ?");
        s.Bind(1, sha256);
        s.Step();
    }

    int64_t Uploads() override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, "SELECT count(*) FROM uploads");
        s.Step();
        return s.Int(0);
    }

    int64_t Duplicates(const std::string& sha256) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, "SELECT duplicates FROM uploads WHERE sha256 = ?");
        s.Bind(1, sha256);
        return s.Step() == SQLITE_ROW ? s.Int(0) : -1;
    }

private:
    void Exec(const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(fDb, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            const std::string why = err ? err : "unknown";
            sqlite3_free(err);
            throw TCollectError(500, std::string("index: ") + why);
        }
    }

    sqlite3* fDb = nullptr;
    std::mutex fLock;
};

}  // namespace

std::unique_ptr<TUploadIndex> OpenSqliteIndex(const std::string& path) { return std::make_unique<TSqliteIndex>(path); }

}  // namespace orvant::collect
