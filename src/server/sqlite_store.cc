// The SQLite backend: one file, WAL mode, prepared statements only.
//
// Every write goes through one writer thread, which gathers the writes that
// arrived while the last commit was syncing into the next transaction (group
// commit); each caller gets its answer only after that COMMIT returned. With
// synchronous=FULL the WAL is fsync'd at every commit, so an acknowledged
// upload survives a killed process and a lost machine alike, and batching
// keeps the sync rate, not the upload rate, as the limit. Reads use a small
// pool of their own connections and never wait for the writer.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "server/cpu_stats.h"
#include "server/file_identity.h"
#include "server/ids.h"
#include "server/stats_refresher.h"
#include "server/store.h"
#include "server/validate.h"

namespace {

// "QMRS" marks the file as ours; user_version is the schema version, the
// number of migrations applied.
constexpr int kApplicationId = 0x514d5253;
constexpr int kReaders = 8;
constexpr size_t kMaxBatch = 256;
constexpr int kBusyTimeoutMs = 5000;

// Version 1 as it was first written: one column per figure, named after the
// tests of that time (frozen here: the catalogue may grow, this may not).
const char* const kV1Tests[] = {"native_integer", "wide_integer", "floating_point", "primes",
                                "extended_instructions", "compression", "encryption", "physics",
                                "sorting", "memory_latency", "memory_bandwidth"};
const char* const kV1Suites[2] = {"raw", "real"};
const char* const kV1Passes[2] = {"multi", "single"};

std::string v1_figure_column(int suite, int pass, const char* test) {
    return std::string(kV1Suites[suite]) + "_" + kV1Passes[pass] + "_" + test;
}

std::string create_v1_sql() {
    std::string figures;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (const char* t : kV1Tests) figures += "  " + v1_figure_column(s, p, t) + " REAL NOT NULL,\n";
    return "CREATE TABLE results (\n"
           "  seq INTEGER PRIMARY KEY,\n"
           "  id TEXT NOT NULL UNIQUE,\n"
           "  uploaded_at INTEGER NOT NULL,\n"
           "  cpu TEXT NOT NULL,\n"
           "  model TEXT NOT NULL,\n"
           "  operating_system TEXT NOT NULL,\n"
           "  compiler TEXT NOT NULL,\n"
           "  cores INTEGER NOT NULL,\n"
           "  threads INTEGER NOT NULL,\n"
           "  label TEXT NOT NULL DEFAULT '',\n"
           "  listed INTEGER NOT NULL,\n"
           "  claim_hash BLOB NOT NULL UNIQUE,\n" +
           figures +
           "  document BLOB NOT NULL\n"
           ");\n"
           "CREATE INDEX results_newest ON results(listed, uploaded_at DESC, seq DESC);\n"
           "CREATE INDEX results_cpu ON results(listed, cpu COLLATE NOCASE);\n"
           "PRAGMA application_id = " +
           std::to_string(kApplicationId) + ";\n";
}

// The summary columns of version 2 on, in this order; read by position
// through the enum, so adding one means adding it in both places.
enum Column {
    kColId, kColUploadedAt, kColCpu, kColModel, kColOperatingSystem, kColCompiler, kColArchitecture,
    kColCores, kColThreads, kColLabel, kColListed, kColFlags, kColProcessorKey, kColSeq, kColScores,
    kSummaryColumnCount = kColScores + kScoreCount,
    // After the summary in the statements that need them.
    kColDocument = kSummaryColumnCount, kColClaimHash, kColContentHash
};
const char* const kColumnNames[kColScores] = {
    "id", "uploaded_at", "cpu", "model", "operating_system", "compiler", "architecture",
    "cores", "threads", "label", "listed", "flags", "processor_key", "seq"};

std::string score_column(int score) { return std::string("score_") + kScoreNames[score].key; }

std::string summary_columns() {
    std::string out;
    for (const char* name : kColumnNames) out += (out.empty() ? "" : ", ") + std::string(name);
    for (int i = 0; i < kScoreCount; ++i) out += ", " + score_column(i);
    return out;
}
const std::string kSummaryColumns = summary_columns();

// Version 2: the scores, flags, processor key, architecture and content hash
// (back-filled from each document), and the figures as rows keyed by test id,
// so that a new test is data rather than schema. The table is rebuilt rather
// than altered: SQLite cannot drop 44 columns in place on every version
// Debian ships.
std::string migrate_v2_sql() {
    std::string scores, score_defaults, figures;
    for (int i = 0; i < kScoreCount; ++i) {
        scores += "  " + score_column(i) + " REAL NOT NULL,\n";
        score_defaults += ", 0";
    }
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (const char* t : kV1Tests)
                figures += std::string(figures.empty() ? "" : " UNION ALL ") + "SELECT seq, '" + kV1Suites[s] +
                           "', '" + kV1Passes[p] + "', '" + t + "', " + v1_figure_column(s, p, t) + " FROM results";
    return "CREATE TABLE results_v2 (\n"
           "  seq INTEGER PRIMARY KEY,\n"
           "  id TEXT NOT NULL UNIQUE,\n"
           "  uploaded_at INTEGER NOT NULL,\n"
           "  cpu TEXT NOT NULL,\n"
           "  model TEXT NOT NULL,\n"
           "  operating_system TEXT NOT NULL,\n"
           "  compiler TEXT NOT NULL,\n"
           "  architecture TEXT NOT NULL,\n"
           "  cores INTEGER NOT NULL,\n"
           "  threads INTEGER NOT NULL,\n"
           "  label TEXT NOT NULL DEFAULT '',\n"
           "  listed INTEGER NOT NULL,\n"
           "  flags INTEGER NOT NULL,\n"
           "  processor_key TEXT NOT NULL,\n" +
           scores +
           "  claim_hash BLOB NOT NULL UNIQUE,\n"
           "  content_hash BLOB NOT NULL,\n"
           "  document BLOB NOT NULL\n"
           ");\n"
           "CREATE TABLE figures (\n"
           "  seq INTEGER NOT NULL,\n"
           "  suite TEXT NOT NULL,\n"
           "  pass TEXT NOT NULL,\n"
           "  test TEXT NOT NULL,\n"
           "  value REAL NOT NULL,\n"
           "  PRIMARY KEY (seq, suite, pass, test)\n"
           ") WITHOUT ROWID;\n"
           "INSERT INTO figures (seq, suite, pass, test, value) " + figures + ";\n"
           "INSERT INTO results_v2 SELECT seq, id, uploaded_at, cpu, model, operating_system, compiler, '', cores,"
           " threads, label, listed, 0, ''" + score_defaults + ", claim_hash, x'', document FROM results;\n"
           "DROP TABLE results;\n"
           "ALTER TABLE results_v2 RENAME TO results;\n"
           "CREATE INDEX results_newest ON results(listed, uploaded_at DESC, seq DESC);\n"
           "CREATE INDEX results_multi ON results(listed, score_multi DESC, seq DESC);\n"
           "CREATE INDEX results_single ON results(listed, score_single DESC, seq DESC);\n"
           "CREATE INDEX results_processor ON results(processor_key, listed);\n"
           "CREATE INDEX results_content ON results(content_hash);\n";
}

bool backfill_v2(sqlite3* db, std::string* error);

// Version 3: per-processor statistics kept in the database. Every write
// appends its processor to stale_marks in its own transaction (an append, so
// uploads never wait on one another for it); the refresher recomputes a
// stale processor's two rows (unflagged only, and all), records the last
// mark they cover in `through`, drops the marks up to it and counts the
// change in stats_version. The list reads a covering index, not the rows
// with their statistics. Every processor
// starts stale: the refresher fills the table after the migration. The
// processor index carries the multi-core order, so that a processor's best
// results are read through it rather than sorted from all of them.
const char kMigrateV3Sql[] =
    "CREATE TABLE cpu_stats (\n"
    "  processor_key TEXT NOT NULL,\n"
    "  with_flagged INTEGER NOT NULL,\n"
    "  cpu TEXT NOT NULL,\n"
    "  architecture TEXT NOT NULL,\n"
    "  count INTEGER NOT NULL,\n"
    "  median_multi REAL NOT NULL,\n"
    "  median_single REAL NOT NULL,\n"
    "  stats BLOB NOT NULL,\n"
    "  through INTEGER NOT NULL,\n"
    "  PRIMARY KEY (processor_key, with_flagged)\n"
    ") WITHOUT ROWID;\n"
    "CREATE TABLE stale_marks (seq INTEGER PRIMARY KEY AUTOINCREMENT, processor_key TEXT NOT NULL);\n"
    "CREATE INDEX stale_marks_processor ON stale_marks(processor_key, seq);\n"
    "CREATE INDEX cpu_stats_list ON cpu_stats(with_flagged, processor_key, cpu, architecture, count, median_multi,"
    " median_single);\n"
    "CREATE TABLE stats_version (n INTEGER NOT NULL);\n"
    "INSERT INTO stats_version VALUES (0);\n"
    "INSERT INTO stale_marks (processor_key) SELECT DISTINCT processor_key FROM results;\n"
    "DROP INDEX results_processor;\n"
    "CREATE INDEX results_processor ON results(processor_key, listed, score_multi DESC, seq DESC);\n";

// Version 4: the distinct CPU names with their processors, so that a CPU-name
// filter matching few results or none reads the names and then only the
// matching processors' results, rather than walking every listed result (53
// and 263 ms at 100,000 results; see list_candidates). An index of the names'
// trigrams (FTS5) did as well for reading but cost 10% of the upload rate;
// a name already known costs an upload one lookup. The processor index also
// carries the flags, so that a result's rank among its processor's results
// is read from the index.
const char kMigrateV4Sql[] =
    "CREATE TABLE cpu_names (\n"
    "  cpu TEXT NOT NULL,\n"
    "  processor_key TEXT NOT NULL,\n"
    "  PRIMARY KEY (cpu, processor_key)\n"
    ") WITHOUT ROWID;\n"
    "INSERT OR IGNORE INTO cpu_names SELECT cpu, processor_key FROM results;\n"
    "CREATE TRIGGER cpu_names_insert AFTER INSERT ON results BEGIN\n"
    "  INSERT OR IGNORE INTO cpu_names VALUES (new.cpu, new.processor_key);\n"
    "END;\n"
    "CREATE TRIGGER cpu_names_update AFTER UPDATE OF cpu, processor_key ON results BEGIN\n"
    "  INSERT OR IGNORE INTO cpu_names VALUES (new.cpu, new.processor_key);\n"
    "END;\n"
    "DROP INDEX results_processor;\n"
    "CREATE INDEX results_processor ON results(processor_key, listed, score_multi DESC, seq DESC, flags);\n";

// Applied in order, each in a transaction of its own; the schema version is
// the number applied, so the version this server writes is the list's length.
// (stale_marks counts with AUTOINCREMENT: a seq is never used twice, even
// once every mark is cleared, so `through` only grows.)
struct Migration {
    std::string sql;
    bool (*after)(sqlite3* db, std::string* error);  // null: SQL only
};
const Migration kMigrations[] = {
    {create_v1_sql(), nullptr},
    {migrate_v2_sql(), backfill_v2},
    {kMigrateV3Sql, nullptr},
    {kMigrateV4Sql, nullptr},
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

// One connection with its statements, prepared once and reused.
struct Connection {
    sqlite3* db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements;

    ~Connection() {
        for (auto& entry : statements) sqlite3_finalize(entry.second);
        if (db != nullptr) sqlite3_close(db);
    }
    // Keyed by the text, so that a listing's statement built for its filters
    // is prepared once per combination.
    sqlite3_stmt* statement(const std::string& sql) {
        auto it = statements.find(sql);
        if (it != statements.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            return it->second;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
            return nullptr;
        statements.emplace(sql, stmt);
        return stmt;
    }
    bool exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
};

bool open_connection(const std::string& path, int flags, Connection* c, std::string* error) {
    if (sqlite3_open_v2(path.c_str(), &c->db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = "cannot open database " + path + ": " + (c->db ? sqlite3_errmsg(c->db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(c->db, 1);
    return true;
}

void bind_text(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string column_text(sqlite3_stmt* stmt, int index) {
    const unsigned char* text = sqlite3_column_text(stmt, index);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(stmt, index)));
}

// Reads the columns of kSummaryColumns starting at column 0; the figures
// come from their own table (read_figures).
void read_summary(sqlite3_stmt* stmt, ResultSummary* out, int64_t* seq) {
    out->id = column_text(stmt, kColId);
    out->uploaded_at = sqlite3_column_int64(stmt, kColUploadedAt);
    out->cpu = column_text(stmt, kColCpu);
    out->model = column_text(stmt, kColModel);
    out->operating_system = column_text(stmt, kColOperatingSystem);
    out->compiler = column_text(stmt, kColCompiler);
    out->architecture = column_text(stmt, kColArchitecture);
    out->cores = sqlite3_column_int64(stmt, kColCores);
    out->threads = sqlite3_column_int64(stmt, kColThreads);
    out->label = column_text(stmt, kColLabel);
    out->listed = sqlite3_column_int(stmt, kColListed);
    out->flags = sqlite3_column_int(stmt, kColFlags);
    out->processor_key = column_text(stmt, kColProcessorKey);
    *seq = out->seq = sqlite3_column_int64(stmt, kColSeq);
    for (int i = 0; i < kScoreCount; ++i) out->scores[i] = sqlite3_column_double(stmt, kColScores + i);
}

// Escapes LIKE's wildcards so that a CPU filter is a plain substring.
std::string like_pattern(const std::string& text) {
    std::string out = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out + "%";
}

// The processors whose results' CPU names hold a filter's text, when they
// have at most kCandidateLimit listed results between them: their keys as a
// JSON array in *out, else "" (a common name: the newest index finds a page
// of them within a few rows). One processor may have results under several
// spellings of its name, so the listing's LIKE still decides each result.
// False on a database error.
constexpr int kCandidateLimit = 2000;
const char kCandidatesSql[] =
    "WITH k AS MATERIALIZED (SELECT DISTINCT processor_key FROM cpu_names WHERE cpu LIKE ? ESCAPE '\\')"
    " SELECT (SELECT json_group_array(processor_key) FROM k),"
    " (SELECT count(*) FROM (SELECT 1 FROM results INDEXED BY results_processor"
    "  WHERE processor_key IN k AND listed = 1 LIMIT ?))";

bool list_candidates(Connection* c, const std::string& text, std::string* out);

const std::string kInsertSql = [] {
    std::string columns = "id, uploaded_at, cpu, model, operating_system, compiler, architecture, cores, threads, "
                          "label, listed, flags, processor_key, claim_hash, content_hash, document";
    std::string values = "?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16";
    for (int i = 0; i < kScoreCount; ++i) {
        columns += ", " + score_column(i);
        values += ", ?" + std::to_string(17 + i);
    }
    return "INSERT INTO results (" + columns + ") VALUES (" + values + ")";
}();
const char kInsertFigureSql[] = "INSERT INTO figures (seq, suite, pass, test, value) VALUES (?, ?, ?, ?, ?)";
const char kFiguresSql[] = "SELECT suite, pass, test, value FROM figures WHERE seq = ?";
// The figures of a page of the export at once, in key order (seq first).
const char kFigureRangeSql[] = "SELECT seq, suite, pass, test, value FROM figures WHERE seq > ? AND seq <= ? ORDER BY seq";
const char kSeenContentSql[] = "SELECT 1 FROM results WHERE content_hash = ? LIMIT 1";
const std::string kGetSql = "SELECT " + kSummaryColumns + ", document FROM results WHERE id = ?";
const std::string kFindClaimSql = "SELECT " + kSummaryColumns + ", document, claim_hash FROM results WHERE claim_hash = ?";
// NOT INDEXED: left to itself the planner picks an index on `listed` and
// sorts every listed result by seq for each page of 500 (50 ms a page at
// 100,000 results); the walk along the rowid is what a page needs.
const std::string kExportSql =
    "SELECT " + kSummaryColumns + " FROM results NOT INDEXED WHERE listed = 1 AND seq > ? ORDER BY seq LIMIT ?";
const std::string kCpuResultsSql = "SELECT " + kSummaryColumns +
                                   " FROM results WHERE processor_key = ? AND listed = 1 AND flags = 0"
                                   " ORDER BY score_multi DESC, seq DESC LIMIT ?";
const std::string kCpuResultsAllSql = "SELECT " + kSummaryColumns +
                                      " FROM results WHERE processor_key = ? AND listed = 1"
                                      " ORDER BY score_multi DESC, seq DESC LIMIT ?";
const char kMarkStaleSql[] = "INSERT INTO stale_marks (processor_key) VALUES (?)";
const char kMarkStaleByIdSql[] = "INSERT INTO stale_marks (processor_key) SELECT processor_key FROM results WHERE id = ?";
const char kStaleSql[] = "SELECT DISTINCT processor_key FROM stale_marks";
const char kStaleThroughSql[] = "SELECT coalesce(max(seq), 0) FROM stale_marks WHERE processor_key = ?";
// What the statistics need of each listed result of a processor, a row per figure.
const std::string kProcessorRowsSql = [] {
    std::string sql = "SELECT r.seq, r.uploaded_at, r.flags, r.cpu, r.architecture";
    for (int i = 0; i < kScoreCount; ++i) sql += ", r." + score_column(i);
    return sql + ", f.suite, f.pass, f.test, f.value FROM results r JOIN figures f ON f.seq = r.seq"
                 " WHERE r.processor_key = ? AND r.listed = 1";
}();
const char kStoreStatsSql[] =
    "INSERT INTO cpu_stats (processor_key, with_flagged, cpu, architecture, count, median_multi, median_single,"
    " stats, through) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT (processor_key, with_flagged) DO"
    " UPDATE SET cpu = excluded.cpu, architecture = excluded.architecture, count = excluded.count,"
    " median_multi = excluded.median_multi, median_single = excluded.median_single, stats = excluded.stats,"
    " through = excluded.through WHERE cpu_stats.through < excluded.through";
const char kClearStaleSql[] = "DELETE FROM stale_marks WHERE processor_key = ? AND seq <= ?";
const char kBumpStatsVersionSql[] = "UPDATE stats_version SET n = n + 1";
const char kStatsVersionSql[] = "SELECT n FROM stats_version";
const char kCpuListSql[] = "SELECT processor_key, cpu, architecture, count, median_multi, median_single FROM cpu_stats"
                           " WHERE with_flagged = ? AND count > 0 ORDER BY processor_key";
const char kCpuStatsSql[] = "SELECT cpu, architecture, count, median_multi, median_single, stats FROM cpu_stats"
                            " WHERE processor_key = ? AND with_flagged = ?";
const char kRankSql[] = "SELECT count(*), coalesce(sum(score_multi < ?), 0) FROM results"
                        " WHERE processor_key = ? AND listed = 1 AND flags = 0";
const char kUpdateSql[] = "UPDATE results SET label = ?, listed = ? WHERE id = ?";
const char kDeleteFiguresSql[] = "DELETE FROM figures WHERE seq = (SELECT seq FROM results WHERE id = ?)";
const char kDeleteSql[] = "DELETE FROM results WHERE id = ?";

// The listing's WHERE clause and order for a query; parameters in the order
// bound by bind_list.
const char* order_column(ListOrder order) {
    return order == ListOrder::multi ? "score_multi" : order == ListOrder::single ? "score_single" : "uploaded_at";
}

// candidates: the processors to look in (a JSON array of keys), or "" for
// every result. Candidates' results are read through the processor index and
// sorted; otherwise the order's index is walked until the page is full.
std::string list_where(const ListQuery& q, const std::string& candidates) {
    std::string where = candidates.empty() ? " WHERE listed = 1"
                                           : " INDEXED BY results_processor WHERE processor_key IN"
                                             " (SELECT value FROM json_each(?)) AND listed = 1";
    if (!q.cpu_contains.empty()) where += " AND cpu LIKE ? ESCAPE '\\'";
    if (!q.architecture.empty()) where += " AND architecture = ?";
    if (q.order != ListOrder::newest && !q.with_flagged) where += " AND flags = 0";
    if (q.after_set) where += std::string(" AND (") + order_column(q.order) + ", seq) " + (q.before ? ">" : "<") + " (?, ?)";
    return where;
}
std::string list_order(const ListQuery& q) {
    const char* way = q.after_set && q.before ? " ASC" : " DESC";
    return std::string(" ORDER BY ") + order_column(q.order) + way + ", seq" + way;
}
int bind_list(sqlite3_stmt* stmt, const ListQuery& q, const std::string& candidates) {
    int index = 1;
    if (!candidates.empty()) bind_text(stmt, index++, candidates);
    if (!q.cpu_contains.empty()) bind_text(stmt, index++, like_pattern(q.cpu_contains));
    if (!q.architecture.empty()) bind_text(stmt, index++, q.architecture);
    if (q.after_set) {
        if (q.order == ListOrder::newest) sqlite3_bind_int64(stmt, index++, static_cast<int64_t>(q.after_value));
        else sqlite3_bind_double(stmt, index++, q.after_value);
        sqlite3_bind_int64(stmt, index++, q.after_seq);
    }
    return index;
}

bool list_candidates(Connection* c, const std::string& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    sqlite3_stmt* stmt = c->statement(kCandidatesSql);
    if (stmt == nullptr) return false;
    bind_text(stmt, 1, like_pattern(text));
    sqlite3_bind_int(stmt, 2, kCandidateLimit + 1);
    const bool read = sqlite3_step(stmt) == SQLITE_ROW;
    if (read && sqlite3_column_int64(stmt, 1) <= kCandidateLimit) *out = column_text(stmt, 0);
    sqlite3_reset(stmt);
    return read;
}

// One figure row (suite, pass, test, value from column `first` on) into
// out; false when it names a suite or pass this server does not know. Tests
// it does not know are skipped: they belong to a later catalogue. The names
// are compared where SQLite holds them: an export reads 4 million of these.
bool read_figure(sqlite3_stmt* stmt, int first, ResultSummary* out) {
    const auto name = [&](int column) {
        const unsigned char* text = sqlite3_column_text(stmt, first + column);
        return text == nullptr ? "" : reinterpret_cast<const char*>(text);
    };
    const auto index_of = [](const auto& names, const char* name) {
        for (int i = 0; i < 2; ++i)
            if (std::strcmp(name, names[i].key) == 0) return i;
        return -1;
    };
    const int s = index_of(kSuites, name(0));
    const int p = index_of(kPasses, name(1));
    const int t = test_index(name(2));
    if (s < 0 || p < 0) return false;
    if (t >= 0) out->figures[s][p][t] = sqlite3_column_double(stmt, first + 3);
    return true;
}

// Reads a result's figures into out (see read_figure).
bool read_figures(sqlite3_stmt* stmt, int64_t seq, ResultSummary* out) {
    sqlite3_bind_int64(stmt, 1, seq);
    int rc;
    bool ok = true;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) ok = read_figure(stmt, 0, out) && ok;
    sqlite3_reset(stmt);
    return ok && rc == SQLITE_DONE;
}

// Fills in what version 2 adds, for every result a version-1 server stored,
// from the document itself; a document stored again later than its first
// copy is a duplicate.
bool backfill_v2(sqlite3* db, std::string* error) {
    std::string update = "UPDATE results SET architecture = ?1, processor_key = ?2, flags = ?3, content_hash = ?4";
    for (int i = 0; i < kScoreCount; ++i) update += ", " + score_column(i) + " = ?" + std::to_string(5 + i);
    update += " WHERE seq = ?" + std::to_string(5 + kScoreCount);
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* write = nullptr;
    bool ok = sqlite3_prepare_v2(db, "SELECT seq, id, document FROM results ORDER BY seq", -1, &select, nullptr) ==
                  SQLITE_OK &&
              sqlite3_prepare_v2(db, update.c_str(), -1, &write, nullptr) == SQLITE_OK;
    std::set<std::string> seen;
    int rc = SQLITE_DONE;
    while (ok && (rc = sqlite3_step(select)) == SQLITE_ROW) {
        const void* doc = sqlite3_column_blob(select, 2);
        const std::string document(static_cast<const char*>(doc), static_cast<size_t>(sqlite3_column_bytes(select, 2)));
        ResultSummary s;
        if (!read_document(document, &s)) {
            *error = "result " + column_text(select, 1) + " holds a document that cannot be read";
            ok = false;
            break;
        }
        if (!seen.insert(s.content_hash).second) s.flags |= kFlagDuplicate;
        bind_text(write, 1, s.architecture);
        bind_text(write, 2, s.processor_key);
        sqlite3_bind_int(write, 3, s.flags);
        sqlite3_bind_blob(write, 4, s.content_hash.data(), static_cast<int>(s.content_hash.size()), SQLITE_TRANSIENT);
        for (int i = 0; i < kScoreCount; ++i) sqlite3_bind_double(write, 5 + i, s.scores[i]);
        sqlite3_bind_int64(write, 5 + kScoreCount, sqlite3_column_int64(select, 0));
        ok = sqlite3_step(write) == SQLITE_DONE;
        sqlite3_reset(write);
    }
    if (ok && rc != SQLITE_DONE) ok = false;
    if (!ok && error->empty()) *error = sqlite3_errmsg(db);
    sqlite3_finalize(select);
    sqlite3_finalize(write);
    return ok;
}

template <class T>
int name_index_of(const T* names, const char* name) {
    for (int i = 0; i < 2; ++i)
        if (std::strcmp(name, names[i].key) == 0) return i;
    return -1;
}

// Every listed result of a processor with what its statistics need, and the
// last stale mark of it (0: none), in one read transaction so that the
// results include every write those marks stand for.
StoreStatus load_processor(Connection* c, const std::string& key, std::vector<ResultSummary>* out, int64_t* through) {
    out->clear();
    *through = 0;
    sqlite3_stmt* marks = c->statement(kStaleThroughSql);
    sqlite3_stmt* rows = c->statement(kProcessorRowsSql);
    if (marks == nullptr || rows == nullptr || !c->exec("BEGIN")) return StoreStatus::error;
    bind_text(marks, 1, key);
    bool ok = sqlite3_step(marks) == SQLITE_ROW;
    if (ok) *through = sqlite3_column_int64(marks, 0);
    sqlite3_reset(marks);
    bind_text(rows, 1, key);
    std::unordered_map<int64_t, size_t> index;
    int rc = SQLITE_DONE;
    constexpr int kFirstFigureColumn = 5 + kScoreCount;
    while (ok && (rc = sqlite3_step(rows)) == SQLITE_ROW) {
        const int64_t seq = sqlite3_column_int64(rows, 0);
        auto [at, added] = index.emplace(seq, out->size());
        if (added) {
            out->emplace_back();
            ResultSummary& r = out->back();
            r.seq = seq;
            r.uploaded_at = sqlite3_column_int64(rows, 1);
            r.flags = sqlite3_column_int(rows, 2);
            r.cpu = column_text(rows, 3);
            r.architecture = column_text(rows, 4);
            r.processor_key = key;
            for (int i = 0; i < kScoreCount; ++i) r.scores[i] = sqlite3_column_double(rows, 5 + i);
        }
        const char* suite = reinterpret_cast<const char*>(sqlite3_column_text(rows, kFirstFigureColumn));
        const char* pass = reinterpret_cast<const char*>(sqlite3_column_text(rows, kFirstFigureColumn + 1));
        const char* test = reinterpret_cast<const char*>(sqlite3_column_text(rows, kFirstFigureColumn + 2));
        const int si = suite ? name_index_of(kSuites, suite) : -1;
        const int pi = pass ? name_index_of(kPasses, pass) : -1;
        const int ti = test ? test_index(test) : -1;
        if (si < 0 || pi < 0) ok = false;
        else if (ti >= 0) (*out)[at->second].figures[si][pi][ti] = sqlite3_column_double(rows, kFirstFigureColumn + 3);
    }
    sqlite3_reset(rows);
    c->exec("COMMIT");
    return ok && rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error;
}

class SqliteStore : public ResultStore {
public:
    ~SqliteStore() override {
        refresher_.reset();  // before the connections it uses
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            stopping_ = true;
        }
        queue_ready_.notify_all();
        if (writer_thread_.joinable()) writer_thread_.join();
        readers_.clear();
        // The writer closes last: closing the last connection checkpoints the WAL into the file.
        writer_.reset();
    }

    bool open(const std::string& path, std::string* error) {
        struct stat st;
        const bool exists = stat(path.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            *error = "database " + path + " is not a regular file";
            return false;
        }
        writer_ = std::make_unique<Connection>();
        // An existing file is opened without CREATE, so a path that vanishes
        // in between is never silently replaced by an empty database.
        const int flags = SQLITE_OPEN_READWRITE | (exists ? 0 : SQLITE_OPEN_CREATE);
        if (!open_connection(path, flags, writer_.get(), error)) return false;
        if (!prepare_schema(path, error)) return false;
        file_.remember(path);

        // The journal mode is a property of the file: set it before the readers open.
        sqlite3_stmt* stmt = nullptr;
        bool wal = false;
        if (sqlite3_prepare_v2(writer_->db, "PRAGMA journal_mode = WAL", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            wal = sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal") == 0;
        sqlite3_finalize(stmt);
        if (!wal || !writer_->exec("PRAGMA synchronous = FULL")) {
            *error = "cannot switch database " + path + " to WAL mode: " + sqlite3_errmsg(writer_->db);
            return false;
        }
        for (int i = 0; i < kReaders; ++i) {
            auto reader = std::make_unique<Connection>();
            if (!open_connection(path, SQLITE_OPEN_READWRITE, reader.get(), error)) return false;
            reader->exec("PRAGMA query_only = 1");
            free_readers_.push_back(reader.get());
            readers_.push_back(std::move(reader));
        }
        writer_thread_ = std::thread([this] { write_loop(); });
        refresher_ = std::make_unique<StatsRefresher>(this);
        return true;
    }

    StoreStatus insert(const StoredResult& result, const unsigned char claim_hash[32]) override {
        std::string hash(reinterpret_cast<const char*>(claim_hash), 32);
        return written(submit([&result, hash](Connection* c) {
            // A savepoint of its own: a failed figure row must not leave the
            // result half stored in a batch that commits the others.
            if (!c->exec("SAVEPOINT insert_result")) return StoreStatus::error;
            const StoreStatus status = insert_rows(c, result, hash);
            if (status != StoreStatus::ok) c->exec("ROLLBACK TO insert_result");
            c->exec("RELEASE insert_result");
            return status;
        }));
    }

    StoreStatus get(const std::string& id, StoredResult* out) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kGetSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, id);
            return read_result(c, stmt, out, nullptr);
        });
    }

    StoreStatus find_by_claim(const unsigned char claim_hash[32], StoredResult* out) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kFindClaimSql);
            if (stmt == nullptr) return StoreStatus::error;
            sqlite3_bind_blob(stmt, 1, claim_hash, 32, SQLITE_TRANSIENT);
            return read_result(c, stmt, out, claim_hash);
        });
    }

    StoreStatus list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) override {
        out->clear();
        *total = 0;
        return read([&](Connection* c) {
            std::string candidates;
            if (!list_candidates(c, query.cpu_contains, &candidates)) return StoreStatus::error;
            const std::string where = list_where(query, candidates);
            *total = -1;
            if (query.count) {
                sqlite3_stmt* count = c->statement("SELECT count(*) FROM results" + where);
                if (count == nullptr) return StoreStatus::error;
                bind_list(count, query, candidates);
                if (sqlite3_step(count) != SQLITE_ROW) return reset(count, StoreStatus::error);
                *total = sqlite3_column_int64(count, 0);
                sqlite3_reset(count);
            }

            sqlite3_stmt* stmt =
                c->statement("SELECT " + kSummaryColumns + " FROM results" + where + list_order(query) + " LIMIT ? OFFSET ?");
            sqlite3_stmt* figures = c->statement(kFiguresSql);
            if (stmt == nullptr || figures == nullptr) return StoreStatus::error;
            int index = bind_list(stmt, query, candidates);
            sqlite3_bind_int(stmt, index++, query.limit < 0 ? 0 : query.limit);
            sqlite3_bind_int64(stmt, index, query.offset < 0 ? 0 : query.offset);
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                out->emplace_back();
                int64_t seq = 0;
                read_summary(stmt, &out->back(), &seq);
                if (!read_figures(figures, seq, &out->back())) return reset(stmt, StoreStatus::error);
            }
            if (query.after_set && query.before) std::reverse(out->begin(), out->end());
            return reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
    }

    StoreStatus set_label_and_listing(const std::string& id, const std::string& label, int listed) override {
        return written(submit([id, label, listed](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kUpdateSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, label);
            sqlite3_bind_int(stmt, 2, listed ? 1 : 0);
            bind_text(stmt, 3, id);
            const StoreStatus status = changed_one(c, stmt);
            return status == StoreStatus::ok ? mark_stale_by_id(c, id) : status;
        }));
    }

    StoreStatus remove(const std::string& id) override {
        return written(submit([id](Connection* c) {
            // Marked first, while the row still names its processor; a
            // missing id marks nothing.
            if (mark_stale_by_id(c, id) != StoreStatus::ok) return StoreStatus::error;
            sqlite3_stmt* figures = c->statement(kDeleteFiguresSql);
            sqlite3_stmt* stmt = c->statement(kDeleteSql);
            if (figures == nullptr || stmt == nullptr) return StoreStatus::error;
            bind_text(figures, 1, id);
            const int rc = sqlite3_step(figures);
            sqlite3_reset(figures);
            if (rc != SQLITE_DONE) return StoreStatus::error;
            bind_text(stmt, 1, id);
            return changed_one(c, stmt);
        }));
    }

    StoreStatus export_rows(int64_t since, const ExportRow& row) override {
        // A page per read, so that no reader is held for the whole export and
        // memory holds one page; the page's figures come in one range query
        // (figures of unlisted results in the range are passed over).
        constexpr int kPage = 500;
        std::vector<ResultSummary> page;
        for (;;) {
            page.clear();
            const StoreStatus status = read([&](Connection* c) {
                sqlite3_stmt* stmt = c->statement(kExportSql);
                sqlite3_stmt* figures = c->statement(kFigureRangeSql);
                if (stmt == nullptr || figures == nullptr) return StoreStatus::error;
                sqlite3_bind_int64(stmt, 1, since);
                sqlite3_bind_int(stmt, 2, kPage);
                int rc;
                while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                    page.emplace_back();
                    int64_t seq = 0;
                    read_summary(stmt, &page.back(), &seq);
                }
                if (reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error) != StoreStatus::ok)
                    return StoreStatus::error;
                if (page.empty()) return StoreStatus::ok;
                sqlite3_bind_int64(figures, 1, since);
                sqlite3_bind_int64(figures, 2, page.back().seq);
                size_t at = 0;
                bool ok = true;
                while ((rc = sqlite3_step(figures)) == SQLITE_ROW) {
                    const int64_t seq = sqlite3_column_int64(figures, 0);
                    while (at < page.size() && page[at].seq < seq) ++at;
                    if (at < page.size() && page[at].seq == seq) ok = read_figure(figures, 1, &page[at]) && ok;
                }
                return reset(figures, ok && rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
            });
            if (status != StoreStatus::ok) return status;
            for (const ResultSummary& r : page)
                if (!row(r)) return StoreStatus::ok;
            if (page.size() < kPage) return StoreStatus::ok;
            since = page.back().seq;
        }
    }

    StoreStatus cpu_list(int with_flagged, std::vector<CpuEntry>* out) override {
        out->clear();
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kCpuListSql);
            if (stmt == nullptr) return StoreStatus::error;
            sqlite3_bind_int(stmt, 1, with_flagged ? 1 : 0);
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
                out->push_back(CpuEntry{column_text(stmt, 0), column_text(stmt, 1), column_text(stmt, 2),
                                        sqlite3_column_int64(stmt, 3), sqlite3_column_double(stmt, 4),
                                        sqlite3_column_double(stmt, 5)});
            return reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
    }

    StoreStatus cpu_stats(const std::string& key, int with_flagged, CpuEntry* entry, CpuStats* stats) override {
        bool stored = false;
        StoreStatus status = read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kCpuStatsSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, key);
            sqlite3_bind_int(stmt, 2, with_flagged ? 1 : 0);
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                *entry = CpuEntry{key, column_text(stmt, 0), column_text(stmt, 1), sqlite3_column_int64(stmt, 2),
                                  sqlite3_column_double(stmt, 3), sqlite3_column_double(stmt, 4)};
                const void* blob = sqlite3_column_blob(stmt, 5);
                const std::string bytes(static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(stmt, 5)));
                stored = entry->count == 0 || decode_cpu_stats(bytes, stats);
            }
            return reset(stmt, rc == SQLITE_ROW || rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
        if (status == StoreStatus::ok && !stored) {
            // Not computed yet (a new processor, or just migrated): from its results, once.
            std::vector<ResultSummary> results;
            int64_t through = 0;
            status = read([&](Connection* c) { return load_processor(c, key, &results, &through); });
            CpuEntry entries[2];
            CpuStats computed[2];
            compute_processor_stats(results, entries, computed);
            *entry = entries[with_flagged ? 1 : 0];
            entry->processor_key = key;
            *stats = computed[with_flagged ? 1 : 0];
        }
        return status == StoreStatus::ok && entry->count == 0 ? StoreStatus::not_found : status;
    }

    StoreStatus cpu_results(const std::string& key, int with_flagged, int limit,
                            std::vector<ResultSummary>* out) override {
        out->clear();
        const StoreStatus status = read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(with_flagged ? kCpuResultsAllSql : kCpuResultsSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, key);
            sqlite3_bind_int(stmt, 2, limit);
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                out->emplace_back();
                int64_t seq = 0;
                read_summary(stmt, &out->back(), &seq);
            }
            return reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
        return status == StoreStatus::ok && out->empty() ? StoreStatus::not_found : status;
    }

    StoreStatus stale_processors(std::vector<std::string>* keys) override {
        keys->clear();
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kStaleSql);
            if (stmt == nullptr) return StoreStatus::error;
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) keys->push_back(column_text(stmt, 0));
            return reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
    }

    // Read and computed outside the writer; written with the marks it covers
    // only if no later computation got there first.
    StoreStatus refresh_processor(const std::string& key) override {
        std::vector<ResultSummary> results;
        int64_t through = 0;
        StoreStatus status = read([&](Connection* c) { return load_processor(c, key, &results, &through); });
        if (status != StoreStatus::ok || through == 0) return status;
        CpuEntry entries[2];
        CpuStats stats[2];
        compute_processor_stats(results, entries, stats);
        const std::string blobs[2] = {encode_cpu_stats(stats[0]), encode_cpu_stats(stats[1])};
        return submit([&](Connection* c) {
            sqlite3_stmt* store = c->statement(kStoreStatsSql);
            sqlite3_stmt* clear = c->statement(kClearStaleSql);
            if (store == nullptr || clear == nullptr || !c->exec("SAVEPOINT refresh")) return StoreStatus::error;
            bool ok = true;
            for (int i = 0; i < 2 && ok; ++i) {
                bind_text(store, 1, key);
                sqlite3_bind_int(store, 2, i);
                bind_text(store, 3, entries[i].cpu);
                bind_text(store, 4, entries[i].architecture);
                sqlite3_bind_int64(store, 5, entries[i].count);
                sqlite3_bind_double(store, 6, entries[i].median_multi);
                sqlite3_bind_double(store, 7, entries[i].median_single);
                sqlite3_bind_blob(store, 8, blobs[i].data(), static_cast<int>(blobs[i].size()), SQLITE_STATIC);
                sqlite3_bind_int64(store, 9, through);
                ok = sqlite3_step(store) == SQLITE_DONE;
                sqlite3_reset(store);
            }
            bind_text(clear, 1, key);
            sqlite3_bind_int64(clear, 2, through);
            ok = ok && sqlite3_step(clear) == SQLITE_DONE && c->exec(kBumpStatsVersionSql);
            sqlite3_reset(clear);
            if (!ok) c->exec("ROLLBACK TO refresh");
            c->exec("RELEASE refresh");
            return ok ? StoreStatus::ok : StoreStatus::error;
        });
    }

    StoreStatus processor_rank(const std::string& key, double score, int64_t* below, int64_t* total) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kRankSql);
            if (stmt == nullptr) return StoreStatus::error;
            sqlite3_bind_double(stmt, 1, score);
            bind_text(stmt, 2, key);
            if (sqlite3_step(stmt) != SQLITE_ROW) return reset(stmt, StoreStatus::error);
            *total = sqlite3_column_int64(stmt, 0);
            *below = sqlite3_column_int64(stmt, 1);
            return reset(stmt, StoreStatus::ok);
        });
    }

    StoreStatus stats_version(int64_t* version) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kStatsVersionSql);
            if (stmt == nullptr) return StoreStatus::error;
            if (sqlite3_step(stmt) != SQLITE_ROW) return reset(stmt, StoreStatus::error);
            *version = sqlite3_column_int64(stmt, 0);
            return reset(stmt, StoreStatus::ok);
        });
    }

    // Asked of the writer connection itself, where the settings must hold.
    std::string durability() override {
        std::string settings;
        submit([&settings](Connection* c) {
            for (const char* pragma : {"journal_mode", "synchronous"}) {
                sqlite3_stmt* stmt = nullptr;
                const std::string sql = std::string("PRAGMA ") + pragma;
                if (sqlite3_prepare_v2(c->db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
                    sqlite3_step(stmt) == SQLITE_ROW)
                    settings += (settings.empty() ? "" : " ") + std::string(pragma) + "=" + column_text(stmt, 0);
                sqlite3_finalize(stmt);
            }
            return StoreStatus::ok;
        });
        return settings;
    }

private:
    using Job = std::function<StoreStatus(Connection*)>;
    struct Pending {
        Job job;
        std::promise<StoreStatus> done;
    };

    StoreStatus written(StoreStatus status) {
        if (status == StoreStatus::ok) refresher_->nudge();
        return status;
    }

    static StoreStatus mark_stale_by_id(Connection* c, const std::string& id) {
        sqlite3_stmt* stmt = c->statement(kMarkStaleByIdSql);
        if (stmt == nullptr) return StoreStatus::error;
        bind_text(stmt, 1, id);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        return rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error;
    }

    static StoreStatus reset(sqlite3_stmt* stmt, StoreStatus status) {
        sqlite3_reset(stmt);
        return status;
    }

    static StoreStatus changed_one(Connection* c, sqlite3_stmt* stmt) {
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) return StoreStatus::error;
        return sqlite3_changes(c->db) > 0 ? StoreStatus::ok : StoreStatus::not_found;
    }

    static StoreStatus insert_rows(Connection* c, const StoredResult& result, const std::string& hash) {
        const ResultSummary& r = result.summary;
        sqlite3_stmt* seen = c->statement(kSeenContentSql);
        sqlite3_stmt* stmt = c->statement(kInsertSql);
        sqlite3_stmt* figure = c->statement(kInsertFigureSql);
        sqlite3_stmt* mark = c->statement(kMarkStaleSql);
        if (seen == nullptr || stmt == nullptr || figure == nullptr || mark == nullptr) return StoreStatus::error;
        sqlite3_bind_blob(seen, 1, r.content_hash.data(), static_cast<int>(r.content_hash.size()), SQLITE_TRANSIENT);
        int rc = sqlite3_step(seen);
        sqlite3_reset(seen);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return StoreStatus::error;
        const int flags = r.flags | (rc == SQLITE_ROW ? kFlagDuplicate : 0);
        bind_text(stmt, 1, r.id);
        sqlite3_bind_int64(stmt, 2, r.uploaded_at);
        bind_text(stmt, 3, r.cpu);
        bind_text(stmt, 4, r.model);
        bind_text(stmt, 5, r.operating_system);
        bind_text(stmt, 6, r.compiler);
        bind_text(stmt, 7, r.architecture);
        sqlite3_bind_int64(stmt, 8, r.cores);
        sqlite3_bind_int64(stmt, 9, r.threads);
        bind_text(stmt, 10, r.label);
        sqlite3_bind_int(stmt, 11, r.listed ? 1 : 0);
        sqlite3_bind_int(stmt, 12, flags);
        bind_text(stmt, 13, r.processor_key);
        sqlite3_bind_blob(stmt, 14, hash.data(), 32, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 15, r.content_hash.data(), static_cast<int>(r.content_hash.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 16, result.document.data(), static_cast<int>(result.document.size()),
                          SQLITE_TRANSIENT);
        for (int i = 0; i < kScoreCount; ++i) sqlite3_bind_double(stmt, 17 + i, r.scores[i]);
        rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) return StoreStatus::error;
        const int64_t seq = sqlite3_last_insert_rowid(c->db);
        for (int s = 0; s < 2; ++s)
            for (int p = 0; p < 2; ++p)
                for (int t = 0; t < kTestCount; ++t) {
                    sqlite3_bind_int64(figure, 1, seq);
                    sqlite3_bind_text(figure, 2, kSuites[s].key, -1, SQLITE_STATIC);
                    sqlite3_bind_text(figure, 3, kPasses[p].key, -1, SQLITE_STATIC);
                    sqlite3_bind_text(figure, 4, g_catalogue[t].id, -1, SQLITE_STATIC);
                    sqlite3_bind_double(figure, 5, r.figures[s][p][t]);
                    rc = sqlite3_step(figure);
                    sqlite3_reset(figure);
                    if (rc != SQLITE_DONE) return StoreStatus::error;
                }
        bind_text(mark, 1, r.processor_key);
        rc = sqlite3_step(mark);
        sqlite3_reset(mark);
        return rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error;
    }

    static StoreStatus read_result(Connection* c, sqlite3_stmt* stmt, StoredResult* out,
                                   const unsigned char* claim_hash) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return reset(stmt, StoreStatus::not_found);
        if (rc != SQLITE_ROW) return reset(stmt, StoreStatus::error);
        if (claim_hash != nullptr) {
            // The index found the row; the comparison that decides takes the same time for every hash.
            const void* stored = sqlite3_column_blob(stmt, kColClaimHash);
            if (sqlite3_column_bytes(stmt, kColClaimHash) != 32 ||
                !same_claim_hash(static_cast<const unsigned char*>(stored), claim_hash))
                return reset(stmt, StoreStatus::not_found);
        }
        int64_t seq = 0;
        read_summary(stmt, &out->summary, &seq);
        const void* doc = sqlite3_column_blob(stmt, kColDocument);
        out->document.assign(static_cast<const char*>(doc), static_cast<size_t>(sqlite3_column_bytes(stmt, kColDocument)));
        sqlite3_reset(stmt);
        sqlite3_stmt* figures = c->statement(kFiguresSql);
        if (figures == nullptr || !read_figures(figures, seq, &out->summary)) return StoreStatus::error;
        out->summary.content_hash = content_hash(out->document);
        return StoreStatus::ok;
    }

    // Creates the schema or brings it up to date, one migration per
    // transaction; a failed one is rolled back and leaves the file as it was.
    bool prepare_schema(const std::string& path, std::string* error) {
        for (;;) {
            int version = 0;
            if (!begin_schema_step(path, &version, error)) return false;
            if (version == kSchemaVersion) {
                writer_->exec("COMMIT");
                return true;
            }
            const Migration& m = kMigrations[version];
            std::string why;
            if (!writer_->exec(m.sql.c_str())) why = sqlite3_errmsg(writer_->db);
            if (why.empty() && m.after != nullptr && !m.after(writer_->db, &why) && why.empty()) why = "failed";
            const std::string bump = "PRAGMA user_version = " + std::to_string(version + 1);
            if (why.empty() && !writer_->exec(bump.c_str())) why = sqlite3_errmsg(writer_->db);
            if (why.empty() && !writer_->exec("COMMIT")) why = sqlite3_errmsg(writer_->db);
            if (!why.empty()) {
                writer_->exec("ROLLBACK");
                *error = version == 0 ? "cannot create the tables in " + path + ": " + why
                                      : "cannot migrate database " + path + " to schema version " +
                                            std::to_string(version + 1) + ": " + why;
                return false;
            }
        }
    }

    // Opens a schema transaction and reads the version. The exclusive lock
    // keeps two servers starting together from both creating or migrating.
    bool begin_schema_step(const std::string& path, int* version, std::string* error) {
        const std::string not_ours = "database " + path + " is not a quillmoth results database";
        if (!writer_->exec("BEGIN EXCLUSIVE")) {
            const int code = sqlite3_errcode(writer_->db) & 0xff;
            *error = code == SQLITE_NOTADB ? not_ours : "cannot lock database " + path + ": " + sqlite3_errmsg(writer_->db);
            return false;
        }
        int64_t values[3] = {-1, -1, -1};
        const char* const queries[3] = {"PRAGMA application_id", "PRAGMA user_version",
                                        "SELECT count(*) FROM sqlite_master"};
        for (int i = 0; i < 3; ++i) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(writer_->db, queries[i], -1, &stmt, nullptr) != SQLITE_OK ||
                sqlite3_step(stmt) != SQLITE_ROW) {
                const int code = sqlite3_errcode(writer_->db) & 0xff;
                *error = code == SQLITE_NOTADB ? not_ours : "cannot read database " + path + ": " + sqlite3_errmsg(writer_->db);
                sqlite3_finalize(stmt);
                writer_->exec("ROLLBACK");
                return false;
            }
            values[i] = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
        }
        const bool empty = values[0] == 0 && values[1] == 0 && values[2] == 0;
        if (!empty && (values[0] != kApplicationId || values[1] < 1)) {
            *error = not_ours;
        } else if (values[1] > kSchemaVersion) {
            *error = "database " + path + " has schema version " + std::to_string(values[1]) +
                     ", newer than this quillmoth-server knows (" + std::to_string(kSchemaVersion) + ")";
        }
        if (!error->empty()) {
            writer_->exec("ROLLBACK");
            return false;
        }
        *version = static_cast<int>(values[1]);
        return true;
    }

    template <class F>
    StoreStatus read(F&& f) {
        Connection* c;
        {
            std::unique_lock<std::mutex> lock(reader_mutex_);
            reader_free_.wait(lock, [this] { return !free_readers_.empty(); });
            c = free_readers_.back();
            free_readers_.pop_back();
        }
        const StoreStatus status = f(c);
        {
            std::lock_guard<std::mutex> lock(reader_mutex_);
            free_readers_.push_back(c);
        }
        reader_free_.notify_one();
        return status;
    }

    StoreStatus submit(Job job) {
        std::future<StoreStatus> answer;
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            if (stopping_) return StoreStatus::unavailable;
            queue_.push_back(Pending{std::move(job), {}});
            answer = queue_.back().done.get_future();
        }
        queue_ready_.notify_one();
        return answer.get();
    }

    void write_loop() {
        std::vector<Pending> batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(queue_mutex_);
                queue_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;  // stopping, and every write answered
                while (!queue_.empty() && batch.size() < kMaxBatch) {
                    batch.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
            }
            std::vector<StoreStatus> status(batch.size(), StoreStatus::error);
            if (writer_->exec("BEGIN IMMEDIATE")) {
                bool aborted = false;
                for (size_t i = 0; i < batch.size() && !aborted; ++i) {
                    status[i] = batch[i].job(writer_.get());
                    // Some errors roll back the whole transaction, earlier writes included.
                    aborted = sqlite3_get_autocommit(writer_->db) != 0;
                }
                if (!aborted && !file_.unchanged()) {
                    writer_->exec("ROLLBACK");
                    std::fill(status.begin(), status.end(), StoreStatus::unavailable);
                } else if (aborted || !writer_->exec("COMMIT")) {
                    writer_->exec("ROLLBACK");
                    for (auto& s : status)
                        if (s == StoreStatus::ok) s = StoreStatus::error;
                }
            }
            for (size_t i = 0; i < batch.size(); ++i) batch[i].done.set_value(status[i]);
            batch.clear();
        }
    }

    FileIdentity file_;
    std::unique_ptr<Connection> writer_;
    std::vector<std::unique_ptr<Connection>> readers_;
    std::vector<Connection*> free_readers_;
    std::mutex reader_mutex_;
    std::condition_variable reader_free_;

    std::thread writer_thread_;
    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::deque<Pending> queue_;
    bool stopping_ = false;

    std::unique_ptr<StatsRefresher> refresher_;
};

}  // namespace

std::unique_ptr<ResultStore> open_sqlite_store(const std::string& path, std::string* error) {
    error->clear();
    auto store = std::make_unique<SqliteStore>();
    if (!store->open(path, error)) return nullptr;
    return store;
}
