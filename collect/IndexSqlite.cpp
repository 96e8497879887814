#include <sqlite3.h>

#include <algorithm>
#include <mutex>

#include "collect/Files.h"
#include "collect/Index.h"
#include "collect/Record.h"

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
CREATE INDEX IF NOT EXISTS uploads_received ON uploads(received);
)";

// The uploads table's columns in the order TUploadRow lists them.
// speaker_key(name, country, region): SpeakerKey in SQL, so that the index
// counts a speaker as the export names them.
void SpeakerKeyFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    std::string part[3];
    for (int i = 0; i < argc && i < 3; ++i)
        if (const unsigned char* text = sqlite3_value_text(argv[i]))
            part[i].assign(reinterpret_cast<const char*>(text), size_t(sqlite3_value_bytes(argv[i])));
    const std::string key = SpeakerKey(part[0], part[1], part[2]);
    sqlite3_result_text(context, key.data(), int(key.size()), SQLITE_TRANSIENT);
}

const char* const kUploadColumns =
    "id, received, name, country, region, archive, takes, total_ms, flagged, duplicates";
// The filter: a part of name, country, region or archive, any case (ASCII).
const char* const kUploadFilter =
    "(?1 = '' OR name LIKE ?2 ESCAPE '\\' OR country LIKE ?2 ESCAPE '\\' OR region LIKE ?2 ESCAPE '\\' "
    "OR archive LIKE ?2 ESCAPE '\\')";

// "%text%" with LIKE's own characters escaped.
std::string LikePattern(const std::string& text) {
    std::string p = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') p += '\\';
        p += c;
    }
    return p + "%";
}

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
        if (sqlite3_create_function_v2(fDb, "speaker_key", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                       SpeakerKeyFunction, nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string why = sqlite3_errmsg(fDb);
            sqlite3_close(fDb);
            throw TCollectError(500, "cannot open the index " + path + ": " + why);
        }
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

    std::vector<TUploadRow> ListUploads(const TUploadQuery& q) override {
        static const char* const order[] = {"received", "name COLLATE NOCASE", "country COLLATE NOCASE",
                                            "region COLLATE NOCASE", "takes", "total_ms", "flagged", "duplicates"};
        const char* dir = q.descending ? " DESC" : " ASC";
        const std::string sql = std::string("SELECT ") + kUploadColumns + " FROM uploads WHERE " + kUploadFilter +
                                " ORDER BY " + order[q.key] + dir + ", id" + dir + " LIMIT ?3 OFFSET ?4";
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, sql.c_str());
        s.Bind(1, q.filter).Bind(2, LikePattern(q.filter)).Bind(3, TUploadQuery::kPageSize);
        s.Bind(4, (std::max<int64_t>(q.page, 1) - 1) * TUploadQuery::kPageSize);
        std::vector<TUploadRow> rows;
        while (s.Step() == SQLITE_ROW) rows.push_back(Row(s));
        return rows;
    }

    int64_t CountUploads(const std::string& filter) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, (std::string("SELECT count(*) FROM uploads WHERE ") + kUploadFilter).c_str());
        s.Bind(1, filter).Bind(2, LikePattern(filter));
        s.Step();
        return s.Int(0);
    }

    bool FindUpload(int64_t id, TUploadRow& row, std::string& folder) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb, (std::string("SELECT ") + kUploadColumns + ", folder FROM uploads WHERE id = ?").c_str());
        s.Bind(1, id);
        if (s.Step() != SQLITE_ROW) return false;
        row = Row(s);
        folder = s.Text(10);
        return true;
    }

    std::vector<TTakeRow> TakesOf(int64_t id) override {
        std::lock_guard<std::mutex> g(fLock);
        TStatement s(fDb,
                     "SELECT name, bytes, duration_ms IS NOT NULL, duration_ms, format_tag, channels, rate, bits, "
                     "flags FROM takes WHERE upload_id = ? ORDER BY rowid");
        s.Bind(1, id);
        std::vector<TTakeRow> takes;
        while (s.Step() == SQLITE_ROW)
            takes.push_back({s.Text(0), s.Int(1), s.Int(2) != 0, s.Int(3), s.Int(4), s.Int(5), s.Int(6), s.Int(7),
                             s.Text(8)});
        return takes;
    }

    std::map<std::string, TTakeCoverage> Coverage() override {
        std::lock_guard<std::mutex> g(fLock);
        // Each speaker's newest take of each name counts once; the speaker's
        // key is worked out once per upload, not once per take.
        TStatement s(fDb,
                     "WITH u AS MATERIALIZED (SELECT id, received, speaker_key(name, country, region) AS speaker "
                     "FROM uploads) "
                     "SELECT name, count(*), sum(flags <> '') FROM (SELECT t.name, t.flags, row_number() OVER "
                     "(PARTITION BY t.name, u.speaker ORDER BY u.received DESC, u.id DESC) AS n "
                     "FROM takes t JOIN u ON u.id = t.upload_id) WHERE n = 1 GROUP BY name");
        std::map<std::string, TTakeCoverage> coverage;
        while (s.Step() == SQLITE_ROW) coverage[s.Text(0)] = {s.Int(1), s.Int(2)};
        return coverage;
    }

private:
    static TUploadRow Row(TStatement& s) {
        return {s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Int(6), s.Int(7), s.Int(8), s.Int(9)};
    }

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
