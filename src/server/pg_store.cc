// ResultStore on PostgreSQL (libpq), for several server instances sharing one
// database. Every statement is prepared once per connection; a small pool
// holds one connection per worker thread; a connection that breaks is reopened
// and a request that could not be served because of it reports unavailable.
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "server/cpu_stats.h"
#include "server/pg_store.h"
#include "server/stats_refresher.h"
#include "server/store.h"
#include "server/validate.h"

namespace {

// Serialises schema creation and migration between instances that start at
// the same moment; any constant works as long as every instance uses it.
constexpr const char* kSchemaLockKey = "7166113551244713";
// How long a request waits for a pooled connection before giving up.
constexpr auto kPoolWait = std::chrono::seconds(10);

// Version 1. Results are listed newest first by the server's clock, ties
// broken by insertion order (seq). One partial index serves the list: it is
// in that order and also carries the lowered CPU name and the id, so both the
// total and the walk to a page read the index alone (index-only scans),
// filter or not, and only the page's rows are fetched from the table. A
// case-blind substring filter cannot use any btree's order; measured on
// 100,000 results this bounds every filter at about one pass over the index,
// where a trigram index (pg_trgm) was far faster for rare names but several
// times slower for common ones, which have to be rechecked row by row.
const char* const kCreateV1 = R"SQL(
CREATE TABLE qm_results (
    seq bigserial NOT NULL,
    id text PRIMARY KEY,
    uploaded_at bigint NOT NULL,
    cpu text NOT NULL,
    cpu_lower text GENERATED ALWAYS AS (lower(cpu)) STORED,
    model text NOT NULL,
    operating_system text NOT NULL,
    compiler text NOT NULL,
    cores bigint NOT NULL,
    threads bigint NOT NULL,
    figures double precision[] NOT NULL,
    label text NOT NULL DEFAULT '',
    listed boolean NOT NULL,
    claim_hash bytea NOT NULL UNIQUE,
    document bytea NOT NULL
);
CREATE INDEX qm_results_newest ON qm_results (uploaded_at DESC, seq DESC) INCLUDE (cpu_lower, id)
    WHERE listed;
)SQL";

// Version 1's figure array, in the order of the tests of that time (frozen
// here: the catalogue may grow, this may not).
const char* const kV1Tests[] = {"native_integer", "wide_integer", "floating_point", "primes",
                                "extended_instructions", "compression", "encryption", "physics",
                                "sorting", "memory_latency", "memory_bandwidth"};

std::string score_column(int score) { return std::string("score_") + kScoreNames[score].key; }

// Version 2: the scores, flags, processor key, architecture and content hash
// (back-filled from each document by backfill_v2), and the figures as rows
// keyed by test id, so that a new test is data rather than schema.
std::string migrate_v2_sql() {
    std::string sql = "ALTER TABLE qm_results ADD COLUMN architecture text NOT NULL DEFAULT '',"
                      " ADD COLUMN processor_key text NOT NULL DEFAULT '',"
                      " ADD COLUMN flags integer NOT NULL DEFAULT 0,"
                      " ADD COLUMN content_hash bytea NOT NULL DEFAULT ''";
    for (int i = 0; i < kScoreCount; ++i) sql += ", ADD COLUMN " + score_column(i) + " double precision NOT NULL DEFAULT 0";
    sql += ";\nCREATE UNIQUE INDEX qm_results_seq ON qm_results (seq);\n"
           "CREATE TABLE qm_figures (seq bigint NOT NULL, suite text NOT NULL, pass text NOT NULL, test text NOT NULL,"
           " value double precision NOT NULL, PRIMARY KEY (seq, suite, pass, test));\n"
           "INSERT INTO qm_figures SELECT r.seq, f.suite, f.pass, f.test, r.figures[f.i] FROM qm_results r"
           " CROSS JOIN (VALUES ";
    static const char* const kV1Suites[2] = {"raw", "real"};
    static const char* const kV1Passes[2] = {"multi", "single"};
    int i = 1;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (const char* t : kV1Tests) {
                sql += std::string(i > 1 ? ", " : "") + "(" + std::to_string(i) + ", '" + kV1Suites[s] + "', '" +
                       kV1Passes[p] + "', '" + t + "')";
                ++i;
            }
    sql += ") f(i, suite, pass, test);\n"
           "ALTER TABLE qm_results DROP COLUMN figures;\n"
           "CREATE INDEX qm_results_multi ON qm_results (score_multi DESC, seq DESC) WHERE listed;\n"
           "CREATE INDEX qm_results_single ON qm_results (score_single DESC, seq DESC) WHERE listed;\n"
           "CREATE INDEX qm_results_processor ON qm_results (processor_key) WHERE listed;\n"
           "CREATE INDEX qm_results_content ON qm_results (content_hash);\n";
    return sql;
}

std::string backfill_v2(PGconn* conn);
std::string exec_simple(PGconn* conn, const char* sql);

// Version 3: per-processor statistics kept in the database. Every write
// appends its processor to qm_stale_marks in its own statement (an append,
// so that concurrent uploads to one processor never queue on a row lock for
// it); a refresher recomputes a stale processor's two rows (unflagged only,
// and all) under a per-processor advisory lock, so that two instances never
// write over each other's newer figures, and deletes exactly the marks it
// read, so that a write committed meanwhile stays marked; each refresh
// counts in qm_meta's stats_version. The list reads a covering index, not
// the rows with their statistics. Every processor
// starts stale: the refresher fills the table after the migration. The
// processor index carries the multi-core order, so that a processor's best
// results are read through it rather than sorted from all of them.
const char* const kMigrateV3 = R"SQL(
CREATE TABLE qm_cpu_stats (
    processor_key text NOT NULL,
    with_flagged boolean NOT NULL,
    cpu text NOT NULL,
    architecture text NOT NULL,
    count bigint NOT NULL,
    median_multi double precision NOT NULL,
    median_single double precision NOT NULL,
    stats bytea NOT NULL,
    PRIMARY KEY (processor_key, with_flagged)
);
CREATE TABLE qm_stale_marks (id bigserial PRIMARY KEY, processor_key text NOT NULL);
CREATE INDEX qm_stale_marks_processor ON qm_stale_marks (processor_key);
CREATE INDEX qm_cpu_stats_list ON qm_cpu_stats (with_flagged, processor_key)
    INCLUDE (cpu, architecture, count, median_multi, median_single);
INSERT INTO qm_meta (key, value) VALUES ('stats_version', '0');
INSERT INTO qm_stale_marks (processor_key) SELECT DISTINCT processor_key FROM qm_results;
DROP INDEX qm_results_processor;
CREATE INDEX qm_results_processor ON qm_results (processor_key, score_multi DESC, seq DESC) WHERE listed;
)SQL";
// The advisory lock class of a processor's refresh (its key's hash is the
// other half); distinct from the schema lock, which is a single bigint.
constexpr const char* kRefreshLockClass = "71661135";

// Version 4: two indexes measured on 100,000 results. A CPU-name filter that
// matches few results or none walked every listed row (40-60 ms); a trigram
// index finds them in under 5 ms, and the planner still walks the newest
// index for common names, whose first page is a few rows away (the list no
// longer counts every match, which is where trigrams lost before). The
// trigram operators come from the pg_trgm extension, trusted since
// PostgreSQL 13 but not always installed or creatable by this role: without
// it the index is left out (PgStore::start says so) and the filter works as
// before. The operator class is named with the extension's schema, which
// need not be on this server's search path. The processor index also
// carries the flags, so that a result's rank among its processor's results
// is counted from the index alone (27 ms to 4 ms for 10,000 results).
const char* const kMigrateV4 = R"SQL(
DROP INDEX qm_results_processor;
CREATE INDEX qm_results_processor ON qm_results (processor_key, score_multi DESC, seq DESC) INCLUDE (flags)
    WHERE listed;
DO $$
DECLARE
    trgm_schema name;
BEGIN
    CREATE EXTENSION IF NOT EXISTS pg_trgm;
    SELECT n.nspname INTO trgm_schema FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace
        WHERE e.extname = 'pg_trgm';
    EXECUTE format('CREATE INDEX qm_results_cpu_trgm ON qm_results USING gin (cpu_lower %I.gin_trgm_ops)'
                   ' WHERE listed', trgm_schema);
EXCEPTION WHEN OTHERS THEN
    NULL;
END $$;
)SQL";

// Applied in order, each in a transaction of its own under the advisory
// lock; the schema version is the number applied.
struct Migration {
    std::string sql;
    std::string (*after)(PGconn* conn);  // "" or the failure; null: SQL only
};
const Migration kMigrations[] = {
    {kCreateV1, nullptr},
    {migrate_v2_sql(), backfill_v2},
    {kMigrateV3, nullptr},
    {kMigrateV4, nullptr},
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

// The summary columns of a row "r", read by position through the enum.
enum Column {
    kColId, kColUploadedAt, kColCpu, kColModel, kColOperatingSystem, kColCompiler, kColArchitecture,
    kColCores, kColThreads, kColLabel, kColListed, kColFlags, kColProcessorKey, kColSeq, kColFigures,
    kColScores, kSummaryColumnCount = kColScores + kScoreCount,
    kColDocument = kSummaryColumnCount
};
const char* const kColumnSql[kColScores] = {
    "r.id", "r.uploaded_at", "r.cpu", "r.model", "r.operating_system", "r.compiler", "r.architecture",
    "r.cores", "r.threads", "r.label", "r.listed", "r.flags", "r.processor_key", "r.seq",
    // "suite pass test value,..." in one text, so that a page of results
    // comes back in one round trip.
    ("(SELECT string_agg(f.suite || ' ' || f.pass || ' ' || f.test || ' ' || f.value::text, ',')"
     " FROM qm_figures f WHERE f.seq = r.seq)")};

std::string summary_columns(bool with_figures) {
    std::string out;
    for (int i = 0; i < kColScores; ++i)
        out += (out.empty() ? "" : ", ") + std::string(i == kColFigures && !with_figures ? "''" : kColumnSql[i]);
    for (int i = 0; i < kScoreCount; ++i) out += ", r." + score_column(i);
    return out;
}
const std::string kSummaryColumns = summary_columns(true);
// For lists that show no figures: the same columns, the figures empty.
const std::string kSummaryColumnsOnly = summary_columns(false);

// The figure arrays bound with every insert: suite, pass and test of each
// value, in the order figures_literal writes them.
std::string figure_names_literal(int which) {
    std::string out = "{";
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) {
                const char* name = which == 0 ? kSuites[s].key : which == 1 ? kPasses[p].key : g_catalogue[t].id;
                out += std::string(out.size() > 1 ? "," : "") + name;
            }
    return out + "}";
}
const std::string kFigureSuites = figure_names_literal(0), kFigurePasses = figure_names_literal(1),
                  kFigureTests = figure_names_literal(2);

const std::string kInsertSql = [] {
    std::string columns = "id, uploaded_at, cpu, model, operating_system, compiler, architecture, cores, threads,"
                          " label, listed, flags, processor_key, claim_hash, content_hash, document";
    // A document stored before makes this one a duplicate.
    std::string values = "$1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12::integer | CASE WHEN EXISTS (SELECT 1"
                         " FROM qm_results WHERE content_hash = $15) THEN 4 ELSE 0 END, $13, $14, $15, $16";
    for (int i = 0; i < kScoreCount; ++i) {
        columns += ", " + score_column(i);
        values += ", $" + std::to_string(17 + i);
    }
    const int n = 17 + kScoreCount;
    char figures[480];
    std::snprintf(figures, sizeof figures,
                  " ON CONFLICT (id) DO NOTHING RETURNING seq, processor_key), m AS (INSERT INTO qm_stale_marks"
                  " (processor_key) SELECT processor_key FROM r) INSERT INTO qm_figures (seq, suite, pass, test, value)"
                  " SELECT r.seq, f.suite, f.pass, f.test, f.value FROM r, unnest($%d::text[], $%d::text[],"
                  " $%d::text[], $%d::float8[]) AS f(suite, pass, test, value)",
                  n, n + 1, n + 2, n + 3);
    return "WITH r AS (INSERT INTO qm_results (" + columns + ") VALUES (" + values + ")" + figures;
}();
constexpr int kInsertParams = 16 + kScoreCount + 4;

const std::string kGetSql = "SELECT " + kSummaryColumns + ", r.document FROM qm_results r WHERE r.id = $1";
const std::string kGetByClaimSql = "SELECT " + kSummaryColumns + ", r.document FROM qm_results r WHERE r.claim_hash = $1";

struct Statement {
    const char* name;
    const std::string& sql;
};

const std::string kOwnedSql = "SELECT claim_hash = $2 FROM qm_results WHERE id = $1";
// Each write marks its processor stale in the same statement; the rows it
// reports are the marks (update) or the figures (delete), none when the id
// is unknown.
const std::string kUpdateSql = "WITH u AS (UPDATE qm_results SET label = $2, listed = $3 WHERE id = $1"
                               " RETURNING processor_key) INSERT INTO qm_stale_marks (processor_key)"
                               " SELECT processor_key FROM u";
const std::string kDeleteSql = "WITH d AS (DELETE FROM qm_results WHERE id = $1 RETURNING seq, processor_key),"
                               " m AS (INSERT INTO qm_stale_marks (processor_key) SELECT processor_key FROM d)"
                               " DELETE FROM qm_figures WHERE seq IN (SELECT seq FROM d)";

const std::string kRankSql = "SELECT count(*), count(*) FILTER (WHERE score_multi < $2) FROM qm_results"
                             " WHERE processor_key = $1 AND listed AND flags = 0";

const std::string kExportSql =
    "SELECT " + kSummaryColumns + " FROM qm_results r WHERE r.listed AND r.seq > $1 ORDER BY r.seq LIMIT $2";

const std::string kCpuListSql = "SELECT processor_key, cpu, architecture, count, median_multi, median_single"
                                " FROM qm_cpu_stats WHERE with_flagged = $1 AND count > 0 ORDER BY processor_key";
const std::string kCpuStatsSql = "SELECT cpu, architecture, count, median_multi, median_single, stats"
                                 " FROM qm_cpu_stats WHERE processor_key = $1 AND with_flagged = $2";
const std::string kCpuResultsAllSql = "SELECT " + kSummaryColumnsOnly +
                                      " FROM qm_results r WHERE r.processor_key = $1 AND r.listed"
                                      " ORDER BY r.score_multi DESC, r.seq DESC LIMIT $2";
const std::string kCpuResultsSql = "SELECT " + kSummaryColumnsOnly +
                                   " FROM qm_results r WHERE r.processor_key = $1 AND r.listed AND r.flags = 0"
                                   " ORDER BY r.score_multi DESC, r.seq DESC LIMIT $2";
const std::string kProcessorRowsSql = "SELECT " + kSummaryColumns + " FROM qm_results r WHERE r.processor_key = $1"
                                      " AND r.listed";
const std::string kStaleSql = "SELECT DISTINCT processor_key FROM qm_stale_marks";
const std::string kStaleMarksSql = "SELECT coalesce(array_agg(id), '{}') FROM qm_stale_marks WHERE processor_key = $1";
const std::string kRefreshLockSql = std::string("SELECT pg_try_advisory_xact_lock(") + kRefreshLockClass + ", hashtext($1))";
const std::string kStoreStatsSql =
    "INSERT INTO qm_cpu_stats (processor_key, with_flagged, cpu, architecture, count, median_multi, median_single,"
    " stats) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT (processor_key, with_flagged) DO UPDATE SET"
    " cpu = excluded.cpu, architecture = excluded.architecture, count = excluded.count,"
    " median_multi = excluded.median_multi, median_single = excluded.median_single, stats = excluded.stats";
const std::string kClearStaleSql = "WITH d AS (DELETE FROM qm_stale_marks WHERE id = ANY($1::bigint[]))"
                                   " UPDATE qm_meta SET value = (value::bigint + 1)::text WHERE key = 'stats_version'";
const std::string kStatsVersionSql = "SELECT value FROM qm_meta WHERE key = 'stats_version'";

const Statement kStatements[] = {
    {"qm_insert", kInsertSql},
    {"qm_owned", kOwnedSql},
    {"qm_get", kGetSql},
    {"qm_get_by_claim", kGetByClaimSql},
    {"qm_update", kUpdateSql},
    {"qm_delete", kDeleteSql},
    {"qm_rank", kRankSql},
    {"qm_export", kExportSql},
    {"qm_cpu_list", kCpuListSql},
    {"qm_cpu_stats", kCpuStatsSql},
    {"qm_cpu_results", kCpuResultsSql},
    {"qm_cpu_results_all", kCpuResultsAllSql},
    {"qm_processor_rows", kProcessorRowsSql},
    {"qm_stale", kStaleSql},
    {"qm_stale_marks", kStaleMarksSql},
    {"qm_refresh_lock", kRefreshLockSql},
    {"qm_store_stats", kStoreStatsSql},
    {"qm_clear_stale", kClearStaleSql},
    {"qm_stats_version", kStatsVersionSql},
};

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Failures that go away by themselves (the server restarting or shutting
// down, a lost connection, no room for connections, a full disk, a read-only
// standby after a failover, a serialisation conflict) are "unavailable", so
// the client is told to retry; the rest are errors.
bool transient_sqlstate(const char* state) {
    if (state == nullptr) return true;  // no server answer at all
    return std::strncmp(state, "08", 2) == 0 || std::strncmp(state, "53", 2) == 0 ||
           std::strncmp(state, "57P", 3) == 0 || std::strcmp(state, "40001") == 0 ||
           std::strcmp(state, "40P01") == 0 || std::strcmp(state, "25006") == 0 ||
           std::strcmp(state, "55P03") == 0;
}

StoreStatus failure_status(PGconn* conn, const PGresult* res) {
    if (PQstatus(conn) == CONNECTION_BAD) return StoreStatus::unavailable;
    const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return transient_sqlstate(state) ? StoreStatus::unavailable : StoreStatus::error;
}

bool parse_int64(const char* text, int64_t* out) {
    const char* end = text + std::strlen(text);
    auto [ptr, ec] = std::from_chars(text, end, *out);
    return ec == std::errc() && ptr == end;
}

bool parse_double(const char* begin, const char* end, double* out) {
    auto [ptr, ec] = std::from_chars(begin, end, *out);
    return ec == std::errc() && ptr == end;
}

// Index of name among n names; -1 when absent.
template <class T>
int name_index(const T* names, int n, const std::string& name) {
    for (int i = 0; i < n; ++i)
        if (name == names[i].key) return i;
    return -1;
}

// The figures column: "raw multi native_integer 1000.5,..." (see
// kColumnSql). Since PostgreSQL 12 float8 prints the shortest text that reads
// back to the same double. Tests this server does not know are skipped:
// they belong to a later catalogue.
bool parse_figures(const char* text, ResultSummary* s) {
    const char* p = text;
    while (*p != '\0') {
        const char* end = std::strchr(p, ',');
        if (end == nullptr) end = p + std::strlen(p);
        const std::string item(p, end);
        const size_t a = item.find(' '), b = item.find(' ', a + 1), c = item.find(' ', b + 1);
        if (c == std::string::npos) return false;
        const int suite = name_index(kSuites, 2, item.substr(0, a));
        const int pass = name_index(kPasses, 2, item.substr(a + 1, b - a - 1));
        const int test = test_index(item.substr(b + 1, c - b - 1).c_str());
        double value = 0;
        if (suite < 0 || pass < 0 || !parse_double(item.data() + c + 1, item.data() + item.size(), &value)) return false;
        if (test >= 0) s->figures[suite][pass][test] = value;
        p = *end == ',' ? end + 1 : end;
    }
    return true;
}

std::string figures_literal(const double figures[2 * 2 * kTestCount]) {
    std::string out = "{";
    char buf[40];
    for (int i = 0; i < 2 * 2 * kTestCount; ++i) {
        std::snprintf(buf, sizeof buf, "%s%.17g", i != 0 ? "," : "", figures[i]);
        out += buf;
    }
    out += '}';
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// bytea in text form is "\x" and two hex digits a byte (bytea_output = hex,
// the default since 9.0; set on every connection so it cannot differ).
bool decode_bytea(const char* text, int length, std::string* out) {
    if (length < 2 || text[0] != '\\' || text[1] != 'x' || length % 2 != 0) return false;
    out->resize(static_cast<size_t>(length - 2) / 2);
    for (int i = 2, o = 0; i < length; i += 2, ++o) {
        int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        (*out)[o] = static_cast<char>(hi * 16 + lo);
    }
    return true;
}

// The summary columns from first on (see Column).
bool read_summary(const PGresult* res, int row, int first, ResultSummary* s) {
    auto text = [&](int column) { return PQgetvalue(res, row, first + column); };
    s->id = text(kColId);
    s->cpu = text(kColCpu);
    s->model = text(kColModel);
    s->operating_system = text(kColOperatingSystem);
    s->compiler = text(kColCompiler);
    s->architecture = text(kColArchitecture);
    s->label = text(kColLabel);
    s->listed = text(kColListed)[0] == 't' ? 1 : 0;
    s->processor_key = text(kColProcessorKey);
    int64_t flags = 0, seq = 0;
    bool ok = parse_int64(text(kColUploadedAt), &s->uploaded_at) && parse_int64(text(kColCores), &s->cores) &&
              parse_int64(text(kColThreads), &s->threads) && parse_int64(text(kColFlags), &flags) &&
              parse_int64(text(kColSeq), &seq) && parse_figures(text(kColFigures), s);
    s->seq = seq;
    s->flags = static_cast<int>(flags);
    for (int i = 0; ok && i < kScoreCount; ++i) {
        const char* v = text(kColScores + i);
        ok = parse_double(v, v + std::strlen(v), &s->scores[i]);
    }
    return ok;
}

std::string hash_bytes(const unsigned char hash[32]) { return std::string(reinterpret_cast<const char*>(hash), 32); }

struct Slot {
    PGconn* conn = nullptr;
    bool prepared = false;
};

class PgStore final : public ResultStore {
public:
    PgStore(std::string uri, std::string shown_uri, std::string password, int connections)
        : uri_(std::move(uri)), shown_uri_(std::move(shown_uri)), password_(std::move(password)),
          slots_(static_cast<size_t>(connections)) {
        for (int i = connections - 1; i >= 0; --i) idle_.push_back(i);
    }

    ~PgStore() override {
        refresher_.reset();  // before the connections it uses
        for (Slot& slot : slots_) {
            if (slot.conn != nullptr) PQfinish(slot.conn);
        }
    }

    // Connects once, creates or migrates the schema and keeps that connection
    // in the pool. One line in *error on failure.
    bool start(std::string* error);

    StoreStatus insert(const StoredResult& result, const unsigned char claim_hash[32]) override;
    StoreStatus get(const std::string& id, StoredResult* out) override;
    StoreStatus list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) override;
    StoreStatus find_by_claim(const unsigned char claim_hash[32], StoredResult* out) override;
    StoreStatus set_label_and_listing(const std::string& id, const std::string& label, int listed) override;
    StoreStatus remove(const std::string& id) override;
    std::string durability() override;
    StoreStatus processor_rank(const std::string& key, double score, int64_t* below, int64_t* total) override;
    StoreStatus export_rows(int64_t since, const ExportRow& row) override;
    StoreStatus cpu_list(int with_flagged, std::vector<CpuEntry>* out) override;
    StoreStatus cpu_stats(const std::string& key, int with_flagged, CpuEntry* entry, CpuStats* stats) override;
    StoreStatus cpu_results(const std::string& key, int with_flagged, int limit,
                            std::vector<ResultSummary>* out) override;
    StoreStatus stale_processors(std::vector<std::string>* keys) override;
    StoreStatus refresh_processor(const std::string& key) override;
    StoreStatus stats_version(int64_t* version) override;

private:
    StoreStatus load_processor(PGconn* conn, const std::string& key, std::vector<ResultSummary>* out);
    StoreStatus written(StoreStatus status) {
        if (status == StoreStatus::ok && refresher_) refresher_->nudge();
        return status;
    }
    // A ready connection, or null with the reason in *why.
    PGconn* connect(std::string* why);
    bool prepare(PGconn* conn);
    bool ensure_ready(Slot* slot);
    std::string setup_schema(PGconn* conn);
    std::string scrub(std::string message) const;
    void log_failure(const char* what, PGconn* conn, const PGresult* res);
    void note_down(PGconn* conn);
    void note_down(const std::string& message);
    Result exec(PGconn* conn, const char* name, int n, const char* const* values, const int* lengths,
                const int* formats);
    StoreStatus fetch_one(PGconn* conn, const char* name, int n, const char* const* values, const int* lengths,
                          const int* formats, StoredResult* out);
    template <class Op>
    StoreStatus run(const char* what, Op&& op);

    const std::string uri_, shown_uri_, password_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Slot> slots_;
    std::vector<int> idle_;
    std::atomic<bool> down_{false};
    std::unique_ptr<StatsRefresher> refresher_;
};

PGconn* PgStore::connect(std::string* why) {
    // Keywords before "dbname" are defaults the URI may override: a bounded
    // connect so that no request waits forever on an unreachable host.
    const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char* values[] = {"5", "quillmoth-server", uri_.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr) {
        *why = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) == CONNECTION_OK) {
        // Notices ("already exists, skipping") are not worth a log line.
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
        // The text forms the decoding below relies on, whatever the server's
        // defaults: hex bytea, and floats that read back exactly (3 gives
        // 17 digits before PostgreSQL 12, the shortest exact text since);
        // and a commit that returns only once it is on disk.
        Result r(PQexec(conn, "SET bytea_output = 'hex'; SET extra_float_digits = 3; SET synchronous_commit = on"));
        if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return conn;
    }
    *why = scrub(PQerrorMessage(conn));
    PQfinish(conn);
    return nullptr;
}

bool PgStore::prepare(PGconn* conn) {
    for (const Statement& s : kStatements) {
        Result r(PQprepare(conn, s.name, s.sql.c_str(), 0, nullptr));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("preparing a statement", conn, r.get());
            return false;
        }
    }
    return true;
}

// A slot's connection is opened on first use and reopened once it broke;
// after a reconnect the session's prepared statements are gone.
bool PgStore::ensure_ready(Slot* slot) {
    if (slot->conn != nullptr && PQstatus(slot->conn) == CONNECTION_BAD) {
        PQfinish(slot->conn);
        slot->conn = nullptr;
    }
    if (slot->conn == nullptr) {
        slot->prepared = false;
        std::string why;
        slot->conn = connect(&why);
        if (slot->conn == nullptr) {
            note_down(why);
            return false;
        }
    }
    if (!slot->prepared) {
        if (!prepare(slot->conn)) return false;
        slot->prepared = true;
    }
    if (down_.exchange(false)) std::fprintf(stderr, "quillmoth-server: PostgreSQL connection restored\n");
    return true;
}

std::string PgStore::scrub(std::string message) const {
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    size_t nl = message.find('\n');
    if (nl != std::string::npos) message.resize(nl);  // the primary line; DETAIL may quote stored values
    if (!password_.empty()) {
        for (size_t at = message.find(password_); at != std::string::npos; at = message.find(password_, at + 3))
            message.replace(at, password_.size(), "***");
    }
    return message;
}

void PgStore::log_failure(const char* what, PGconn* conn, const PGresult* res) {
    // Transient failures are logged by run once it has given up.
    if (failure_status(conn, res) == StoreStatus::unavailable) return;
    const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = scrub(res != nullptr ? PQresultErrorMessage(res) : PQerrorMessage(conn));
    std::fprintf(stderr, "quillmoth-server: PostgreSQL error %s %s: %s\n", what, state != nullptr ? state : "",
                 message.c_str());
}

// Logged once per outage rather than once per failed request.
void PgStore::note_down(PGconn* conn) { note_down(scrub(conn != nullptr ? PQerrorMessage(conn) : "out of memory")); }

void PgStore::note_down(const std::string& message) {
    if (down_.exchange(true)) return;
    std::fprintf(stderr, "quillmoth-server: PostgreSQL unavailable at %s (%s); requests answer 503 until it is back\n",
                 shown_uri_.c_str(), message.c_str());
}

Result PgStore::exec(PGconn* conn, const char* name, int n, const char* const* values, const int* lengths,
                     const int* formats) {
    return Result(PQexecPrepared(conn, name, n, values, lengths, formats, 0));
}

// Runs op on a pooled connection. A pooled connection can have died while it
// sat idle (the database restarted); then op runs once more on a fresh one.
// Every op is safe to repeat: reads and updates trivially, inserts because
// they carry their own id and claim hash (see insert).
template <class Op>
StoreStatus PgStore::run(const char* what, Op&& op) {
    int index = -1;
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, kPoolWait, [this] { return !idle_.empty(); })) {
            std::fprintf(stderr, "quillmoth-server: no free PostgreSQL connection for %s\n", what);
            return StoreStatus::unavailable;
        }
        index = idle_.back();
        idle_.pop_back();
    }
    Slot* slot = &slots_[static_cast<size_t>(index)];
    StoreStatus status = StoreStatus::unavailable;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensure_ready(slot)) {
            status = StoreStatus::unavailable;
            break;
        }
        status = op(slot->conn);
        if (status == StoreStatus::ok || status == StoreStatus::not_found) break;
        if (PQstatus(slot->conn) != CONNECTION_BAD) break;
    }
    if (status == StoreStatus::unavailable) note_down(slot->conn);
    {
        std::lock_guard<std::mutex> lock(mu_);
        idle_.push_back(index);
    }
    cv_.notify_one();
    return status;
}

StoreStatus PgStore::fetch_one(PGconn* conn, const char* name, int n, const char* const* values, const int* lengths,
                               const int* formats, StoredResult* out) {
    Result r = exec(conn, name, n, values, lengths, formats);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        log_failure(name, conn, r.get());
        return failure_status(conn, r.get());
    }
    if (PQntuples(r.get()) == 0) return StoreStatus::not_found;
    if (!read_summary(r.get(), 0, 0, &out->summary) ||
        !decode_bytea(PQgetvalue(r.get(), 0, kColDocument), PQgetlength(r.get(), 0, kColDocument),
                      &out->document)) {
        std::fprintf(stderr, "quillmoth-server: unreadable row in qm_results\n");
        return StoreStatus::error;
    }
    out->summary.content_hash = content_hash(out->document);
    return StoreStatus::ok;
}

StoreStatus PgStore::insert(const StoredResult& result, const unsigned char claim_hash[32]) {
    const ResultSummary& s = result.summary;
    // A text parameter ends at its first NUL; a value that holds one would be
    // stored cut short, so it is refused instead.
    for (const std::string* text :
         {&s.id, &s.cpu, &s.model, &s.operating_system, &s.compiler, &s.label, &s.architecture, &s.processor_key}) {
        if (text->find('\0') != std::string::npos) return StoreStatus::error;
    }
    std::string numbers[5] = {std::to_string(s.uploaded_at), std::to_string(s.cores), std::to_string(s.threads),
                              std::to_string(s.flags & ~kFlagDuplicate), figures_literal(&s.figures[0][0][0])};
    std::string scores[kScoreCount];
    for (int i = 0; i < kScoreCount; ++i) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", s.scores[i]);
        scores[i] = buf;
    }
    const std::string hash = hash_bytes(claim_hash);
    const char* values[kInsertParams] = {s.id.c_str(), numbers[0].c_str(), s.cpu.c_str(), s.model.c_str(),
                                         s.operating_system.c_str(), s.compiler.c_str(), s.architecture.c_str(),
                                         numbers[1].c_str(), numbers[2].c_str(), s.label.c_str(),
                                         s.listed ? "t" : "f", numbers[3].c_str(), s.processor_key.c_str(),
                                         hash.data(), s.content_hash.data(), result.document.data()};
    for (int i = 0; i < kScoreCount; ++i) values[16 + i] = scores[i].c_str();
    values[16 + kScoreCount] = kFigureSuites.c_str();
    values[17 + kScoreCount] = kFigurePasses.c_str();
    values[18 + kScoreCount] = kFigureTests.c_str();
    values[19 + kScoreCount] = numbers[4].c_str();
    int lengths[kInsertParams] = {};
    int formats[kInsertParams] = {};
    // bytea parameters go as binary: no escaping, every byte kept
    lengths[13] = 32;
    lengths[14] = static_cast<int>(s.content_hash.size());
    lengths[15] = static_cast<int>(result.document.size());
    formats[13] = formats[14] = formats[15] = 1;
    return written(run("insert", [&](PGconn* conn) {
        Result r = exec(conn, "qm_insert", kInsertParams, values, lengths, formats);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("inserting a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        // The rows inserted are the figures; none when the id was taken.
        if (std::strcmp(PQcmdTuples(r.get()), "0") != 0) return StoreStatus::ok;
        // The id is taken. After a broken connection that is this very insert,
        // committed before the reply was lost: the claim hash says so. Anything
        // else would be a collision of random ids and must not be reported ok.
        const char* owned_values[2] = {values[0], hash.data()};
        const int owned_lengths[2] = {0, 32};
        const int owned_formats[2] = {0, 1};
        Result owned = exec(conn, "qm_owned", 2, owned_values, owned_lengths, owned_formats);
        if (PQresultStatus(owned.get()) != PGRES_TUPLES_OK) {
            log_failure("checking an insert", conn, owned.get());
            return failure_status(conn, owned.get());
        }
        if (PQntuples(owned.get()) == 1 && PQgetvalue(owned.get(), 0, 0)[0] == 't') return StoreStatus::ok;
        std::fprintf(stderr, "quillmoth-server: result id collision on insert\n");
        return StoreStatus::error;
    }));
}

StoreStatus PgStore::get(const std::string& id, StoredResult* out) {
    const char* values[1] = {id.c_str()};
    return run("get", [&](PGconn* conn) { return fetch_one(conn, "qm_get", 1, values, nullptr, nullptr, out); });
}

StoreStatus PgStore::find_by_claim(const unsigned char claim_hash[32], StoredResult* out) {
    std::string hash = hash_bytes(claim_hash);
    const char* values[1] = {hash.data()};
    const int lengths[1] = {32};
    const int formats[1] = {1};
    return run("find_by_claim",
               [&](PGconn* conn) { return fetch_one(conn, "qm_get_by_claim", 1, values, lengths, formats, out); });
}

// LIKE's wildcards and its escape character in the user's text match
// themselves.
std::string contains_pattern(const std::string& text) {
    std::string pattern = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    pattern += '%';
    return pattern;
}

// One query for a page and its total, so both come from one snapshot; the
// outer join keeps the total when the page itself is empty, and the page is
// not looked for at all when the total says it is empty (a filter that
// matches nothing would otherwise walk the whole index twice). Planned afresh
// on every call rather than prepared: a plan made once for any filter text
// served rare CPU names at twice the cost of one made for the text at hand,
// while planning costs well under a millisecond. $1 limit, $2 offset, then
// the filters' values.
std::string list_sql(const ListQuery& q) {
    std::string filter;
    int n = 3;
    if (!q.cpu_contains.empty()) filter += " AND cpu_lower LIKE lower($" + std::to_string(n++) + ")";
    if (!q.architecture.empty()) filter += " AND architecture = $" + std::to_string(n++);
    if (q.order != ListOrder::newest && !q.with_flagged) filter += " AND flags = 0";
    if (q.after_set) {
        const char* column = q.order == ListOrder::multi    ? "score_multi"
                             : q.order == ListOrder::single ? "score_single"
                                                            : "uploaded_at";
        filter += std::string(" AND (") + column + ", seq) " + (q.before ? ">" : "<") + " ($" + std::to_string(n) +
                  ", $" + std::to_string(n + 1) + ")";
        n += 2;
    }
    // A page before the cursor is read nearest first and turned round after.
    const std::string column = q.order == ListOrder::multi    ? "score_multi"
                               : q.order == ListOrder::single ? "score_single"
                                                              : "uploaded_at";
    const char* way = q.after_set && q.before ? " ASC" : " DESC";
    const std::string order = column + way + ", seq" + way;
    const std::string outer = "p." + column + way + ", p.seq" + way;
    // Without a count the "total" is -1 and the page is always looked for.
    const std::string count = q.count ? "SELECT count(*) AS total FROM qm_results WHERE listed" + filter
                                      : std::string("SELECT -1::bigint AS total");
    const std::string guard = q.count ? " AND c.total > $2" : " AND $2::bigint >= 0";
    return "SELECT c.total, p.* FROM (" + count + ") c "
           "LEFT JOIN LATERAL (SELECT " + kSummaryColumns + " FROM (SELECT seq FROM qm_results WHERE listed" + filter +
           guard + " ORDER BY " + order + " LIMIT $1 OFFSET $2) k JOIN qm_results r ON r.seq = k.seq) p"
           " ON true ORDER BY " + outer;
}

StoreStatus PgStore::list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) {
    std::string limit = std::to_string(query.limit > 0 ? query.limit : 0);
    std::string offset = std::to_string(query.offset > 0 ? query.offset : 0);
    std::string pattern = contains_pattern(query.cpu_contains);
    if (query.cpu_contains.find('\0') != std::string::npos || query.architecture.find('\0') != std::string::npos)
        return StoreStatus::error;
    std::vector<const char*> values = {limit.c_str(), offset.c_str()};
    if (!query.cpu_contains.empty()) values.push_back(pattern.c_str());
    if (!query.architecture.empty()) values.push_back(query.architecture.c_str());
    char after_value[40], after_seq[24];
    if (query.after_set) {
        if (query.order == ListOrder::newest)
            std::snprintf(after_value, sizeof after_value, "%lld", static_cast<long long>(query.after_value));
        else
            std::snprintf(after_value, sizeof after_value, "%.17g", query.after_value);
        std::snprintf(after_seq, sizeof after_seq, "%lld", static_cast<long long>(query.after_seq));
        values.push_back(after_value);
        values.push_back(after_seq);
    }
    const std::string sql = list_sql(query);
    return run("list", [&](PGconn* conn) {
        Result r(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("listing results", conn, r.get());
            return failure_status(conn, r.get());
        }
        out->clear();
        int rows = PQntuples(r.get());
        if (rows < 1 || !parse_int64(PQgetvalue(r.get(), 0, 0), total)) return StoreStatus::error;
        for (int row = 0; row < rows; ++row) {
            if (PQgetisnull(r.get(), row, 1)) continue;  // the empty page's single row
            ResultSummary s;
            if (!read_summary(r.get(), row, 1, &s)) {
                std::fprintf(stderr, "quillmoth-server: unreadable row in qm_results\n");
                return StoreStatus::error;
            }
            out->push_back(std::move(s));
        }
        if (query.after_set && query.before) std::reverse(out->begin(), out->end());
        return StoreStatus::ok;
    });
}

StoreStatus PgStore::set_label_and_listing(const std::string& id, const std::string& label, int listed) {
    if (label.find('\0') != std::string::npos) return StoreStatus::error;
    const char* values[3] = {id.c_str(), label.c_str(), listed ? "t" : "f"};
    return written(run("update", [&](PGconn* conn) {
        Result r = exec(conn, "qm_update", 3, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("updating a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        return std::strcmp(PQcmdTuples(r.get()), "0") == 0 ? StoreStatus::not_found : StoreStatus::ok;
    }));
}

StoreStatus PgStore::remove(const std::string& id) {
    const char* values[1] = {id.c_str()};
    return written(run("delete", [&](PGconn* conn) {
        Result r = exec(conn, "qm_delete", 1, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("deleting a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        return std::strcmp(PQcmdTuples(r.get()), "0") == 0 ? StoreStatus::not_found : StoreStatus::ok;
    }));
}

StoreStatus PgStore::export_rows(int64_t since, const ExportRow& row) {
    // A page per statement, so that no connection is held for the whole
    // export and memory holds one page.
    constexpr int kPage = 500;
    for (;;) {
        std::vector<ResultSummary> page;
        const std::string since_text = std::to_string(since), limit = std::to_string(kPage);
        const char* values[2] = {since_text.c_str(), limit.c_str()};
        const StoreStatus status = run("export", [&](PGconn* conn) {
            Result r = exec(conn, "qm_export", 2, values, nullptr, nullptr);
            if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
                log_failure("exporting results", conn, r.get());
                return failure_status(conn, r.get());
            }
            page.clear();
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                page.emplace_back();
                if (!read_summary(r.get(), i, 0, &page.back())) return StoreStatus::error;
            }
            return StoreStatus::ok;
        });
        if (status != StoreStatus::ok) return status;
        for (const ResultSummary& r : page)
            if (!row(r)) return StoreStatus::ok;
        if (page.size() < static_cast<size_t>(kPage)) return StoreStatus::ok;
        since = page.back().seq;
    }
}

StoreStatus PgStore::cpu_list(int with_flagged, std::vector<CpuEntry>* out) {
    const char* values[1] = {with_flagged ? "t" : "f"};
    return run("cpu_list", [&](PGconn* conn) {
        Result r = exec(conn, "qm_cpu_list", 1, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("listing processors", conn, r.get());
            return failure_status(conn, r.get());
        }
        out->clear();
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            CpuEntry e{PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), PQgetvalue(r.get(), i, 2), 0, 0, 0};
            const char* m = PQgetvalue(r.get(), i, 4);
            const char* s = PQgetvalue(r.get(), i, 5);
            if (!parse_int64(PQgetvalue(r.get(), i, 3), &e.count) ||
                !parse_double(m, m + std::strlen(m), &e.median_multi) ||
                !parse_double(s, s + std::strlen(s), &e.median_single))
                return StoreStatus::error;
            out->push_back(std::move(e));
        }
        return StoreStatus::ok;
    });
}

// Every listed result of a processor with its figures, for its statistics.
StoreStatus PgStore::load_processor(PGconn* conn, const std::string& key, std::vector<ResultSummary>* out) {
    const char* values[1] = {key.c_str()};
    Result r = exec(conn, "qm_processor_rows", 1, values, nullptr, nullptr);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        log_failure("reading a processor's results", conn, r.get());
        return failure_status(conn, r.get());
    }
    out->assign(static_cast<size_t>(PQntuples(r.get())), ResultSummary());
    for (int i = 0; i < PQntuples(r.get()); ++i)
        if (!read_summary(r.get(), i, 0, &(*out)[static_cast<size_t>(i)])) return StoreStatus::error;
    return StoreStatus::ok;
}

StoreStatus PgStore::cpu_stats(const std::string& key, int with_flagged, CpuEntry* entry, CpuStats* stats) {
    if (key.find('\0') != std::string::npos) return StoreStatus::not_found;
    const char* values[2] = {key.c_str(), with_flagged ? "t" : "f"};
    const StoreStatus status = run("cpu_stats", [&](PGconn* conn) {
        Result r = exec(conn, "qm_cpu_stats", 2, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("reading a processor's statistics", conn, r.get());
            return failure_status(conn, r.get());
        }
        if (PQntuples(r.get()) == 1) {
            *entry = CpuEntry{key, PQgetvalue(r.get(), 0, 0), PQgetvalue(r.get(), 0, 1), 0, 0, 0};
            const char* m = PQgetvalue(r.get(), 0, 3);
            const char* s = PQgetvalue(r.get(), 0, 4);
            std::string bytes;
            if (!parse_int64(PQgetvalue(r.get(), 0, 2), &entry->count) ||
                !parse_double(m, m + std::strlen(m), &entry->median_multi) ||
                !parse_double(s, s + std::strlen(s), &entry->median_single) ||
                !decode_bytea(PQgetvalue(r.get(), 0, 5), PQgetlength(r.get(), 0, 5), &bytes))
                return StoreStatus::error;
            if (entry->count == 0 || decode_cpu_stats(bytes, stats)) return StoreStatus::ok;
        }
        // Not computed yet (a new processor, or just migrated): from its results, once.
        std::vector<ResultSummary> results;
        const StoreStatus loaded = load_processor(conn, key, &results);
        CpuEntry entries[2];
        CpuStats computed[2];
        compute_processor_stats(results, entries, computed);
        *entry = entries[with_flagged ? 1 : 0];
        entry->processor_key = key;
        *stats = computed[with_flagged ? 1 : 0];
        return loaded;
    });
    return status == StoreStatus::ok && entry->count == 0 ? StoreStatus::not_found : status;
}

StoreStatus PgStore::cpu_results(const std::string& key, int with_flagged, int limit, std::vector<ResultSummary>* out) {
    if (key.find('\0') != std::string::npos) return StoreStatus::not_found;
    const std::string limit_text = std::to_string(limit);
    const char* values[2] = {key.c_str(), limit_text.c_str()};
    const StoreStatus status = run("cpu_results", [&](PGconn* conn) {
        Result r = exec(conn, with_flagged ? "qm_cpu_results_all" : "qm_cpu_results", 2, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("reading a processor's results", conn, r.get());
            return failure_status(conn, r.get());
        }
        out->clear();
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            out->emplace_back();
            if (!read_summary(r.get(), i, 0, &out->back())) return StoreStatus::error;
        }
        return StoreStatus::ok;
    });
    return status == StoreStatus::ok && out->empty() ? StoreStatus::not_found : status;
}

StoreStatus PgStore::stale_processors(std::vector<std::string>* keys) {
    return run("stale_processors", [&](PGconn* conn) {
        Result r = exec(conn, "qm_stale", 0, nullptr, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("reading the stale processors", conn, r.get());
            return failure_status(conn, r.get());
        }
        keys->clear();
        for (int i = 0; i < PQntuples(r.get()); ++i) keys->push_back(PQgetvalue(r.get(), i, 0));
        return StoreStatus::ok;
    });
}

// In one transaction holding the processor's advisory lock (another
// instance already on it: skipped, its marks stay for later): the marks,
// then the results, read after them (each statement sees every commit so
// far), so every mark read stands for a write the results include; the two
// rows written and exactly those marks deleted.
StoreStatus PgStore::refresh_processor(const std::string& key) {
    if (key.find('\0') != std::string::npos) return StoreStatus::error;
    return run("refresh_processor", [&](PGconn* conn) {
        auto step = [&](const char* name, int n, const char* const* values, const int* lengths, const int* formats,
                        ExecStatusType want, Result* out) {
            *out = exec(conn, name, n, values, lengths, formats);
            if (PQresultStatus(out->get()) == want) return true;
            log_failure("refreshing a processor's statistics", conn, out->get());
            return false;
        };
        std::string failure = exec_simple(conn, "BEGIN");
        if (!failure.empty()) return failure_status(conn, nullptr);
        const char* key_value[1] = {key.c_str()};
        Result lock, marks, written;
        std::vector<ResultSummary> results;
        StoreStatus status = StoreStatus::error;
        if (step("qm_refresh_lock", 1, key_value, nullptr, nullptr, PGRES_TUPLES_OK, &lock) &&
            PQntuples(lock.get()) == 1) {
            if (PQgetvalue(lock.get(), 0, 0)[0] != 't') {
                exec_simple(conn, "ROLLBACK");
                return StoreStatus::ok;
            }
            if (step("qm_stale_marks", 1, key_value, nullptr, nullptr, PGRES_TUPLES_OK, &marks) &&
                PQntuples(marks.get()) == 1 && (status = load_processor(conn, key, &results)) == StoreStatus::ok) {
                CpuEntry entries[2];
                CpuStats stats[2];
                compute_processor_stats(results, entries, stats);
                for (int i = 0; i < 2 && status == StoreStatus::ok; ++i) {
                    const std::string blob = encode_cpu_stats(stats[i]), count = std::to_string(entries[i].count);
                    char multi[40], single[40];
                    std::snprintf(multi, sizeof multi, "%.17g", entries[i].median_multi);
                    std::snprintf(single, sizeof single, "%.17g", entries[i].median_single);
                    const char* values[8] = {key.c_str(), i ? "t" : "f", entries[i].cpu.c_str(),
                                             entries[i].architecture.c_str(), count.c_str(), multi, single,
                                             blob.data()};
                    const int lengths[8] = {0, 0, 0, 0, 0, 0, 0, static_cast<int>(blob.size())};
                    const int formats[8] = {0, 0, 0, 0, 0, 0, 0, 1};
                    if (!step("qm_store_stats", 8, values, lengths, formats, PGRES_COMMAND_OK, &written))
                        status = failure_status(conn, written.get());
                }
                const char* ids[1] = {PQgetvalue(marks.get(), 0, 0)};
                if (status == StoreStatus::ok &&
                    !step("qm_clear_stale", 1, ids, nullptr, nullptr, PGRES_COMMAND_OK, &written))
                    status = failure_status(conn, written.get());
            } else if (status == StoreStatus::ok) {
                status = failure_status(conn, marks.get());
            }
        } else {
            status = failure_status(conn, lock.get());
        }
        if (status == StoreStatus::ok) {
            failure = exec_simple(conn, "COMMIT");
            if (failure.empty()) return StoreStatus::ok;
            status = failure_status(conn, nullptr);
        }
        exec_simple(conn, "ROLLBACK");
        return status;
    });
}

StoreStatus PgStore::stats_version(int64_t* version) {
    return run("stats_version", [&](PGconn* conn) {
        Result r = exec(conn, "qm_stats_version", 0, nullptr, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
            log_failure("reading the statistics version", conn, r.get());
            return failure_status(conn, r.get());
        }
        return parse_int64(PQgetvalue(r.get(), 0, 0), version) ? StoreStatus::ok : StoreStatus::error;
    });
}

StoreStatus PgStore::processor_rank(const std::string& key, double score, int64_t* below, int64_t* total) {
    if (key.find('\0') != std::string::npos) return StoreStatus::not_found;
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", score);
    const char* values[2] = {key.c_str(), text};
    return run("processor_rank", [&](PGconn* conn) {
        Result r = exec(conn, "qm_rank", 2, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
            log_failure("ranking a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        return parse_int64(PQgetvalue(r.get(), 0, 0), total) && parse_int64(PQgetvalue(r.get(), 0, 1), below)
                   ? StoreStatus::ok
                   : StoreStatus::error;
    });
}

// What the pooled connections commit with; set on each (see connect), so a
// database or role default of "off" cannot lose acknowledged uploads.
std::string PgStore::durability() {
    std::string settings;
    run("durability", [&](PGconn* conn) {
        Result r(PQexec(conn, "SHOW synchronous_commit"));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) return StoreStatus::error;
        settings = std::string("synchronous_commit=") + PQgetvalue(r.get(), 0, 0);
        return StoreStatus::ok;
    });
    return settings;
}

// Runs a utility statement; "" on success, else the failure in one line.
std::string exec_simple(PGconn* conn, const char* sql) {
    Result r(PQexec(conn, sql));
    ExecStatusType st = PQresultStatus(r.get());
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return "";
    std::string message = PQresultErrorMessage(r.get());
    if (message.empty()) message = PQerrorMessage(conn);
    return message.empty() ? "unknown error" : message;
}

// Fills in what version 2 adds for every result a version-1 server stored,
// from the document itself; a document stored again later than its first
// copy is a duplicate. "" or the failure.
std::string backfill_v2(PGconn* conn) {
    Result rows(PQexec(conn, "SELECT seq, id, document FROM qm_results ORDER BY seq"));
    if (PQresultStatus(rows.get()) != PGRES_TUPLES_OK) return PQresultErrorMessage(rows.get());
    std::string update = "UPDATE qm_results SET architecture = $1, processor_key = $2, flags = $3, content_hash = $4";
    for (int i = 0; i < kScoreCount; ++i) update += ", " + score_column(i) + " = $" + std::to_string(5 + i);
    update += " WHERE seq = $" + std::to_string(5 + kScoreCount);
    std::set<std::string> seen;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
        std::string document;
        ResultSummary s;
        if (!decode_bytea(PQgetvalue(rows.get(), row, 2), PQgetlength(rows.get(), row, 2), &document) ||
            !read_document(document, &s))
            return std::string("result ") + PQgetvalue(rows.get(), row, 1) + " holds a document that cannot be read";
        if (!seen.insert(s.content_hash).second) s.flags |= kFlagDuplicate;
        std::string text[3 + kScoreCount];
        text[0] = std::to_string(s.flags);
        for (int i = 0; i < kScoreCount; ++i) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", s.scores[i]);
            text[1 + i] = buf;
        }
        const char* values[6 + kScoreCount] = {s.architecture.c_str(), s.processor_key.c_str(), text[0].c_str(),
                                               s.content_hash.data()};
        int lengths[6 + kScoreCount] = {};
        int formats[6 + kScoreCount] = {};
        lengths[3] = static_cast<int>(s.content_hash.size());
        formats[3] = 1;
        for (int i = 0; i < kScoreCount; ++i) values[4 + i] = text[1 + i].c_str();
        values[4 + kScoreCount] = PQgetvalue(rows.get(), row, 0);
        Result r(PQexecParams(conn, update.c_str(), 5 + kScoreCount, nullptr, values, lengths, formats, 0));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) return PQresultErrorMessage(r.get());
    }
    return "";
}

// Creates the schema or brings it up to date: one migration per transaction,
// each taking the advisory lock first, so that a second instance starting
// at the same moment waits, then finds the step done and the version
// recorded. A failed step is rolled back and leaves the database as it was.
// Everything lives in the first schema of the search path (current_schema),
// where CREATE puts it, whatever other schemas the path names.
std::string PgStore::setup_schema(PGconn* conn) {
    for (;;) {
        std::string lock = std::string("BEGIN; SELECT pg_advisory_xact_lock(") + kSchemaLockKey + ")";
        std::string failure = exec_simple(conn, lock.c_str());
        if (failure.empty())
            failure = exec_simple(conn, "CREATE TABLE IF NOT EXISTS qm_meta (key text PRIMARY KEY, value text NOT NULL)");
        if (!failure.empty()) {
            exec_simple(conn, "ROLLBACK");
            return "cannot create the schema: " + scrub(failure);
        }
        Result r(PQexec(conn,
                        "SELECT (SELECT value FROM qm_meta WHERE key = 'schema_version'),"
                        " to_regclass(quote_ident(current_schema()) || '.qm_results') IS NOT NULL"));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
            std::string message = scrub(PQresultErrorMessage(r.get()));
            exec_simple(conn, "ROLLBACK");
            return "cannot read the schema version: " + message;
        }
        int64_t version = 0;
        bool has_results = PQgetvalue(r.get(), 0, 1)[0] == 't';
        if (!PQgetisnull(r.get(), 0, 0) && !parse_int64(PQgetvalue(r.get(), 0, 0), &version)) version = -1;
        if ((version == 0 && has_results) || version < 0) {
            exec_simple(conn, "ROLLBACK");
            return "the database holds a qm_results table that quillmoth-server did not create";
        }
        if (version > kSchemaVersion) {
            exec_simple(conn, "ROLLBACK");
            char message[160];
            std::snprintf(message, sizeof message, "the database has schema version %lld, newer than this server's %d",
                          static_cast<long long>(version), kSchemaVersion);
            return message;
        }
        if (version == kSchemaVersion) {
            failure = exec_simple(conn, "COMMIT");
            return failure.empty() ? "" : "cannot commit the schema: " + scrub(failure);
        }
        const Migration& m = kMigrations[version];
        failure = exec_simple(conn, m.sql.c_str());
        if (failure.empty() && m.after != nullptr) failure = m.after(conn);
        if (failure.empty()) {
            const std::string record = "INSERT INTO qm_meta (key, value) VALUES ('schema_version', '" +
                                       std::to_string(version + 1) + "') ON CONFLICT (key) DO UPDATE SET value = "
                                       "excluded.value";
            failure = exec_simple(conn, record.c_str());
        }
        if (failure.empty()) failure = exec_simple(conn, "COMMIT");
        if (!failure.empty()) {
            exec_simple(conn, "ROLLBACK");
            return (version == 0 ? std::string("cannot create the schema: ")
                                 : "cannot migrate to schema version " + std::to_string(version + 1) + ": ") +
                   scrub(failure);
        }
    }
}

bool PgStore::start(std::string* error) {
    Slot* slot = &slots_[static_cast<size_t>(idle_.back())];
    std::string why;
    slot->conn = connect(&why);
    if (slot->conn == nullptr) {
        *error = "cannot connect to PostgreSQL at " + shown_uri_ + ": " + why;
        return false;
    }
    std::string failure = setup_schema(slot->conn);
    if (!failure.empty()) {
        *error = "PostgreSQL database " + shown_uri_ + ": " + failure;
        return false;
    }
    if (!prepare(slot->conn)) {
        *error = "PostgreSQL database " + shown_uri_ + ": cannot prepare statements: " +
                 scrub(PQerrorMessage(slot->conn));
        return false;
    }
    slot->prepared = true;
    Result trgm(PQexec(slot->conn, "SELECT to_regclass(quote_ident(current_schema()) || '.qm_results_cpu_trgm')"
                                   " IS NULL"));
    if (PQresultStatus(trgm.get()) == PGRES_TUPLES_OK && PQntuples(trgm.get()) == 1 &&
        PQgetvalue(trgm.get(), 0, 0)[0] == 't')
        std::fprintf(stderr, "quillmoth-server: note: PostgreSQL's pg_trgm extension was not available when the schema "
                             "was made, so a CPU-name filter reads every listed result (see the README)\n");
    refresher_ = std::make_unique<StatsRefresher>(this);
    return true;
}

}  // namespace

std::unique_ptr<ResultStore> open_postgres_store(const std::string& uri, int connections, std::string* error) {
    std::string shown = redact_db_uri(uri);
    // Parsed first so that a malformed URI is refused with a message of our
    // own: libpq's parse errors quote pieces of the URI, password included.
    char* parse_error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &parse_error);
    if (options == nullptr) {
        if (parse_error != nullptr) PQfreemem(parse_error);
        *error = "not a valid PostgreSQL connection URI: " + shown;
        return nullptr;
    }
    std::string password;
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr) password = o->val;
    }
    PQconninfoFree(options);
    // A raw '/' or '@' in the password makes libpq read part of it as host or
    // port, and its messages would then quote that part.
    std::string user_password = uri_user_password(uri);
    if (!user_password.empty() && user_password != password) {
        *error = "the password in the PostgreSQL URI " + shown +
                 " holds a character that must be percent-encoded (such as '/' or '@')";
        return nullptr;
    }

    auto store = std::make_unique<PgStore>(uri, shown, password, connections > 0 ? connections : 1);
    if (!store->start(error)) return nullptr;
    return store;
}
