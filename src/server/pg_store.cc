// ResultStore on PostgreSQL (libpq), for several server instances sharing one
// database. Every statement is prepared once per connection; a small pool
// holds one connection per worker thread; a connection that breaks is reopened
// and a request that could not be served because of it reports unavailable.
#include <libpq-fe.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/pg_store.h"
#include "server/store.h"

namespace {

constexpr int kSchemaVersion = 1;
// Serialises schema creation and migration between instances that start at
// the same moment; any constant works as long as every instance uses it.
constexpr const char* kSchemaLockKey = "7166113551244713";
constexpr int kFigureCount = 2 * 2 * kTestCount;
// How long a request waits for a pooled connection before giving up.
constexpr auto kPoolWait = std::chrono::seconds(10);

// Creates version 1. Results are listed newest first by the server's clock,
// ties broken by insertion order (seq). One partial index serves the list:
// it is in that order and also carries the lowered CPU name and the id, so
// both the total and the walk to a page read the index alone (index-only
// scans), filter or not, and only the page's rows are fetched from the table.
// A case-blind substring filter cannot use any btree's order; measured on
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
INSERT INTO qm_meta (key, value) VALUES ('schema_version', '1');
)SQL";

#define QM_SUMMARY_COLUMNS \
    "id, uploaded_at, cpu, model, operating_system, compiler, cores, threads, figures, label, listed"
#define QM_SUMMARY_COLUMNS_OF_R \
    "r.id, r.uploaded_at, r.cpu, r.model, r.operating_system, r.compiler, r.cores, r.threads, r.figures," \
    " r.label, r.listed"
constexpr int kSummaryColumns = 11;

// One query for a page and its total, so both come from one snapshot; the
// outer join keeps the total when the page itself is empty, and the page is
// not looked for at all when the total says it is empty (a filter that
// matches nothing would otherwise walk the whole index twice).
#define QM_LIST_SQL(filter)                                                                               \
    "SELECT c.total, p.* FROM (SELECT count(*) AS total FROM qm_results WHERE listed" filter ") c "        \
    "LEFT JOIN LATERAL (SELECT r.seq, " QM_SUMMARY_COLUMNS_OF_R " FROM (SELECT id FROM qm_results"        \
    " WHERE listed" filter " AND c.total > $2 ORDER BY uploaded_at DESC, seq DESC LIMIT $1 OFFSET $2) k" \
    " JOIN qm_results r ON r.id = k.id) p ON true ORDER BY p.uploaded_at DESC, p.seq DESC"

// Planned afresh on every call rather than prepared: a plan made once for
// any filter text served rare CPU names at twice the cost of one made for
// the text at hand, while planning costs well under a millisecond.
const char* const kListSql = QM_LIST_SQL("");
const char* const kListCpuSql = QM_LIST_SQL(" AND cpu_lower LIKE lower($3)");

struct Statement {
    const char* name;
    const char* sql;
};

const Statement kStatements[] = {
    {"qm_insert",
     "INSERT INTO qm_results (id, uploaded_at, cpu, model, operating_system, compiler, cores, threads,"
     " figures, label, listed, claim_hash, document)"
     " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) ON CONFLICT (id) DO NOTHING"},
    {"qm_owned", "SELECT claim_hash = $2 FROM qm_results WHERE id = $1"},
    {"qm_get", "SELECT " QM_SUMMARY_COLUMNS ", document FROM qm_results WHERE id = $1"},
    {"qm_get_by_claim", "SELECT " QM_SUMMARY_COLUMNS ", document FROM qm_results WHERE claim_hash = $1"},
    {"qm_update", "UPDATE qm_results SET label = $2, listed = $3 WHERE id = $1"},
    {"qm_delete", "DELETE FROM qm_results WHERE id = $1"},
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

// float8[] in text form: "{1.5,2,3.0000000000000001e-05}". Since PostgreSQL
// 12 float8 prints the shortest text that reads back to the same double.
bool parse_figures(const char* text, double figures[kFigureCount]) {
    size_t n = std::strlen(text);
    if (n < 2 || text[0] != '{' || text[n - 1] != '}') return false;
    const char* p = text + 1;
    const char* end = text + n - 1;
    for (int i = 0; i < kFigureCount; ++i) {
        auto [ptr, ec] = std::from_chars(p, end, figures[i]);
        if (ec != std::errc()) return false;
        p = ptr;
        if (i + 1 < kFigureCount) {
            if (p == end || *p != ',') return false;
            ++p;
        }
    }
    return p == end;
}

std::string figures_literal(const double figures[kFigureCount]) {
    std::string out = "{";
    char buf[40];
    for (int i = 0; i < kFigureCount; ++i) {
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

// Columns from first on, in QM_SUMMARY_COLUMNS order.
bool read_summary(const PGresult* res, int row, int first, ResultSummary* s) {
    s->id = PQgetvalue(res, row, first + 0);
    s->cpu = PQgetvalue(res, row, first + 2);
    s->model = PQgetvalue(res, row, first + 3);
    s->operating_system = PQgetvalue(res, row, first + 4);
    s->compiler = PQgetvalue(res, row, first + 5);
    s->label = PQgetvalue(res, row, first + 9);
    s->listed = PQgetvalue(res, row, first + 10)[0] == 't' ? 1 : 0;
    return parse_int64(PQgetvalue(res, row, first + 1), &s->uploaded_at) &&
           parse_int64(PQgetvalue(res, row, first + 6), &s->cores) &&
           parse_int64(PQgetvalue(res, row, first + 7), &s->threads) &&
           parse_figures(PQgetvalue(res, row, first + 8), &s->figures[0][0][0]);
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

private:
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
        // 17 digits before PostgreSQL 12, the shortest exact text since).
        Result r(PQexec(conn, "SET bytea_output = 'hex'; SET extra_float_digits = 3"));
        if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return conn;
    }
    *why = scrub(PQerrorMessage(conn));
    PQfinish(conn);
    return nullptr;
}

bool PgStore::prepare(PGconn* conn) {
    for (const Statement& s : kStatements) {
        Result r(PQprepare(conn, s.name, s.sql, 0, nullptr));
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
        !decode_bytea(PQgetvalue(r.get(), 0, kSummaryColumns), PQgetlength(r.get(), 0, kSummaryColumns),
                      &out->document)) {
        std::fprintf(stderr, "quillmoth-server: unreadable row in qm_results\n");
        return StoreStatus::error;
    }
    return StoreStatus::ok;
}

StoreStatus PgStore::insert(const StoredResult& result, const unsigned char claim_hash[32]) {
    const ResultSummary& s = result.summary;
    // A text parameter ends at its first NUL; a value that holds one would be
    // stored cut short, so it is refused instead.
    for (const std::string* text : {&s.id, &s.cpu, &s.model, &s.operating_system, &s.compiler, &s.label}) {
        if (text->find('\0') != std::string::npos) return StoreStatus::error;
    }
    std::string uploaded_at = std::to_string(s.uploaded_at), cores = std::to_string(s.cores),
                threads = std::to_string(s.threads), figures = figures_literal(&s.figures[0][0][0]),
                hash = hash_bytes(claim_hash);
    const char* values[13] = {s.id.c_str(), uploaded_at.c_str(), s.cpu.c_str(), s.model.c_str(),
                              s.operating_system.c_str(), s.compiler.c_str(), cores.c_str(), threads.c_str(),
                              figures.c_str(), s.label.c_str(), s.listed ? "t" : "f", hash.data(),
                              result.document.data()};
    int lengths[13] = {};
    int formats[13] = {};
    lengths[11] = 32;
    formats[11] = 1;  // bytea parameters go as binary: no escaping, every byte kept
    lengths[12] = static_cast<int>(result.document.size());
    formats[12] = 1;
    return run("insert", [&](PGconn* conn) {
        Result r = exec(conn, "qm_insert", 13, values, lengths, formats);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("inserting a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        if (std::strcmp(PQcmdTuples(r.get()), "1") == 0) return StoreStatus::ok;
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
    });
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

StoreStatus PgStore::list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) {
    std::string limit = std::to_string(query.limit > 0 ? query.limit : 0);
    std::string offset = std::to_string(query.offset > 0 ? query.offset : 0);
    std::string pattern = contains_pattern(query.cpu_contains);
    if (query.cpu_contains.find('\0') != std::string::npos) return StoreStatus::error;
    bool filtered = !query.cpu_contains.empty();
    const char* values[3] = {limit.c_str(), offset.c_str(), pattern.c_str()};
    return run("list", [&](PGconn* conn) {
        Result r(PQexecParams(conn, filtered ? kListCpuSql : kListSql, filtered ? 3 : 2, nullptr, values, nullptr,
                              nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            log_failure("listing results", conn, r.get());
            return failure_status(conn, r.get());
        }
        out->clear();
        int rows = PQntuples(r.get());
        if (rows < 1 || !parse_int64(PQgetvalue(r.get(), 0, 0), total)) return StoreStatus::error;
        for (int row = 0; row < rows; ++row) {
            if (PQgetisnull(r.get(), row, 2)) continue;  // the empty page's single row
            ResultSummary s;
            if (!read_summary(r.get(), row, 2, &s)) {
                std::fprintf(stderr, "quillmoth-server: unreadable row in qm_results\n");
                return StoreStatus::error;
            }
            out->push_back(std::move(s));
        }
        return StoreStatus::ok;
    });
}

StoreStatus PgStore::set_label_and_listing(const std::string& id, const std::string& label, int listed) {
    if (label.find('\0') != std::string::npos) return StoreStatus::error;
    const char* values[3] = {id.c_str(), label.c_str(), listed ? "t" : "f"};
    return run("update", [&](PGconn* conn) {
        Result r = exec(conn, "qm_update", 3, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("updating a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        return std::strcmp(PQcmdTuples(r.get()), "0") == 0 ? StoreStatus::not_found : StoreStatus::ok;
    });
}

StoreStatus PgStore::remove(const std::string& id) {
    const char* values[1] = {id.c_str()};
    return run("delete", [&](PGconn* conn) {
        Result r = exec(conn, "qm_delete", 1, values, nullptr, nullptr);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            log_failure("deleting a result", conn, r.get());
            return failure_status(conn, r.get());
        }
        return std::strcmp(PQcmdTuples(r.get()), "0") == 0 ? StoreStatus::not_found : StoreStatus::ok;
    });
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

std::string PgStore::setup_schema(PGconn* conn) {
    // Everything lives in the first schema of the search path (current_schema),
    // where CREATE puts it, whatever other schemas the path names.
    // Everything in one transaction that first takes the advisory lock: a
    // second instance starting at the same moment waits here, then finds the
    // schema made and the version recorded.
    std::string lock = std::string("BEGIN; SELECT pg_advisory_xact_lock(") + kSchemaLockKey + ")";
    std::string failure = exec_simple(conn, lock.c_str());
    if (failure.empty()) failure = exec_simple(conn, "CREATE TABLE IF NOT EXISTS qm_meta (key text PRIMARY KEY, value text NOT NULL)");
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
        std::snprintf(message, sizeof message,
                      "the database has schema version %lld, newer than this server's %d",
                      static_cast<long long>(version), kSchemaVersion);
        return message;
    }
    if (version == 0) {
        failure = exec_simple(conn, kCreateV1);
        if (!failure.empty()) {
            exec_simple(conn, "ROLLBACK");
            return "cannot create the schema: " + scrub(failure);
        }
    }
    // Later versions migrate here, one step at a time, under the same lock.
    failure = exec_simple(conn, "COMMIT");
    if (!failure.empty()) return "cannot commit the schema: " + scrub(failure);
    return "";
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
