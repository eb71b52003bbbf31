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

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "server/file_identity.h"
#include "server/ids.h"
#include "server/store.h"

namespace {

// "QMRS" marks the file as ours; user_version is the schema version.
constexpr int kApplicationId = 0x514d5253;
constexpr int kSchemaVersion = 1;
constexpr int kReaders = 8;
constexpr size_t kMaxBatch = 256;
constexpr int kBusyTimeoutMs = 5000;

const char* const kSuiteNames[2] = {"raw", "real"};
const char* const kPassNames[2] = {"multi", "single"};

std::string figure_column(int suite, int pass, int test) {
    return std::string(kSuiteNames[suite]) + "_" + kPassNames[pass] + "_" + g_catalogue[test].id;
}

std::string figure_columns() {
    std::string out;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < kTestCount; ++i) out += ", " + figure_column(s, p, i);
    return out;
}

const std::string kSummaryColumns =
    "id, uploaded_at, cpu, model, operating_system, compiler, cores, threads, label, listed" + figure_columns();
constexpr int kSummaryColumnCount = 10 + 4 * kTestCount;

std::string schema_sql() {
    std::string figures;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < kTestCount; ++i) figures += "  " + figure_column(s, p, i) + " REAL NOT NULL,\n";
    // The document comes last so that listing never reads its pages.
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
           std::to_string(kApplicationId) + ";\nPRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
}

// One connection with its statements, prepared once and reused.
struct Connection {
    sqlite3* db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> statements;

    ~Connection() {
        for (auto& entry : statements) sqlite3_finalize(entry.second);
        if (db != nullptr) sqlite3_close(db);
    }
    // sql must be a string with static storage: its address is the cache key.
    sqlite3_stmt* statement(const char* sql) {
        auto it = statements.find(sql);
        if (it != statements.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            return it->second;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) return nullptr;
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

// Reads the columns of kSummaryColumns starting at column 0.
void read_summary(sqlite3_stmt* stmt, ResultSummary* out) {
    out->id = column_text(stmt, 0);
    out->uploaded_at = sqlite3_column_int64(stmt, 1);
    out->cpu = column_text(stmt, 2);
    out->model = column_text(stmt, 3);
    out->operating_system = column_text(stmt, 4);
    out->compiler = column_text(stmt, 5);
    out->cores = sqlite3_column_int64(stmt, 6);
    out->threads = sqlite3_column_int64(stmt, 7);
    out->label = column_text(stmt, 8);
    out->listed = sqlite3_column_int(stmt, 9);
    int column = 10;
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < kTestCount; ++i) out->figures[s][p][i] = sqlite3_column_double(stmt, column++);
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

const std::string kInsertSql = [] {
    std::string columns = "id, uploaded_at, cpu, model, operating_system, compiler, cores, threads, label, listed, "
                          "claim_hash, document" +
                          figure_columns();
    std::string values = "?";
    for (int i = 1; i < 12 + 4 * kTestCount; ++i) values += ", ?";
    return "INSERT INTO results (" + columns + ") VALUES (" + values + ")";
}();
const std::string kGetSql = "SELECT " + kSummaryColumns + ", document FROM results WHERE id = ?";
const std::string kFindClaimSql = "SELECT " + kSummaryColumns + ", document, claim_hash FROM results WHERE claim_hash = ?";
const std::string kListSql = "SELECT " + kSummaryColumns +
                             " FROM results WHERE listed = 1 ORDER BY uploaded_at DESC, seq DESC LIMIT ? OFFSET ?";
const std::string kListCpuSql = "SELECT " + kSummaryColumns +
                                " FROM results WHERE listed = 1 AND cpu LIKE ? ESCAPE '\\' "
                                "ORDER BY uploaded_at DESC, seq DESC LIMIT ? OFFSET ?";
const char kCountSql[] = "SELECT count(*) FROM results WHERE listed = 1";
const char kCountCpuSql[] = "SELECT count(*) FROM results WHERE listed = 1 AND cpu LIKE ? ESCAPE '\\'";
const char kUpdateSql[] = "UPDATE results SET label = ?, listed = ? WHERE id = ?";
const char kDeleteSql[] = "DELETE FROM results WHERE id = ?";

class SqliteStore : public ResultStore {
public:
    ~SqliteStore() override {
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
        return true;
    }

    StoreStatus insert(const StoredResult& result, const unsigned char claim_hash[32]) override {
        std::string hash(reinterpret_cast<const char*>(claim_hash), 32);
        return submit([&result, hash](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kInsertSql.c_str());
            if (stmt == nullptr) return StoreStatus::error;
            const ResultSummary& r = result.summary;
            bind_text(stmt, 1, r.id);
            sqlite3_bind_int64(stmt, 2, r.uploaded_at);
            bind_text(stmt, 3, r.cpu);
            bind_text(stmt, 4, r.model);
            bind_text(stmt, 5, r.operating_system);
            bind_text(stmt, 6, r.compiler);
            sqlite3_bind_int64(stmt, 7, r.cores);
            sqlite3_bind_int64(stmt, 8, r.threads);
            bind_text(stmt, 9, r.label);
            sqlite3_bind_int(stmt, 10, r.listed ? 1 : 0);
            sqlite3_bind_blob(stmt, 11, hash.data(), 32, SQLITE_TRANSIENT);
            sqlite3_bind_blob(stmt, 12, result.document.data(), static_cast<int>(result.document.size()),
                              SQLITE_TRANSIENT);
            int index = 13;
            for (int s = 0; s < 2; ++s)
                for (int p = 0; p < 2; ++p)
                    for (int i = 0; i < kTestCount; ++i) sqlite3_bind_double(stmt, index++, r.figures[s][p][i]);
            const int rc = sqlite3_step(stmt);
            sqlite3_reset(stmt);
            return rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error;
        });
    }

    StoreStatus get(const std::string& id, StoredResult* out) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kGetSql.c_str());
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, id);
            return read_result(stmt, out, nullptr);
        });
    }

    StoreStatus find_by_claim(const unsigned char claim_hash[32], StoredResult* out) override {
        return read([&](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kFindClaimSql.c_str());
            if (stmt == nullptr) return StoreStatus::error;
            sqlite3_bind_blob(stmt, 1, claim_hash, 32, SQLITE_TRANSIENT);
            return read_result(stmt, out, claim_hash);
        });
    }

    StoreStatus list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) override {
        out->clear();
        *total = 0;
        return read([&](Connection* c) {
            const bool filter = !query.cpu_contains.empty();
            const std::string pattern = like_pattern(query.cpu_contains);
            sqlite3_stmt* count = c->statement(filter ? kCountCpuSql : kCountSql);
            if (count == nullptr) return StoreStatus::error;
            if (filter) bind_text(count, 1, pattern);
            if (sqlite3_step(count) != SQLITE_ROW) return reset(count, StoreStatus::error);
            *total = sqlite3_column_int64(count, 0);
            sqlite3_reset(count);

            sqlite3_stmt* stmt = c->statement(filter ? kListCpuSql.c_str() : kListSql.c_str());
            if (stmt == nullptr) return StoreStatus::error;
            int index = 1;
            if (filter) bind_text(stmt, index++, pattern);
            sqlite3_bind_int(stmt, index++, query.limit < 0 ? 0 : query.limit);
            sqlite3_bind_int64(stmt, index, query.offset < 0 ? 0 : query.offset);
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                out->emplace_back();
                read_summary(stmt, &out->back());
            }
            return reset(stmt, rc == SQLITE_DONE ? StoreStatus::ok : StoreStatus::error);
        });
    }

    StoreStatus set_label_and_listing(const std::string& id, const std::string& label, int listed) override {
        return submit([id, label, listed](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kUpdateSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, label);
            sqlite3_bind_int(stmt, 2, listed ? 1 : 0);
            bind_text(stmt, 3, id);
            return changed_one(c, stmt);
        });
    }

    StoreStatus remove(const std::string& id) override {
        return submit([id](Connection* c) {
            sqlite3_stmt* stmt = c->statement(kDeleteSql);
            if (stmt == nullptr) return StoreStatus::error;
            bind_text(stmt, 1, id);
            return changed_one(c, stmt);
        });
    }

private:
    using Job = std::function<StoreStatus(Connection*)>;
    struct Pending {
        Job job;
        std::promise<StoreStatus> done;
    };

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

    static StoreStatus read_result(sqlite3_stmt* stmt, StoredResult* out, const unsigned char* claim_hash) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return reset(stmt, StoreStatus::not_found);
        if (rc != SQLITE_ROW) return reset(stmt, StoreStatus::error);
        if (claim_hash != nullptr) {
            // The index found the row; the comparison that decides takes the same time for every hash.
            const void* stored = sqlite3_column_blob(stmt, kSummaryColumnCount + 1);
            if (sqlite3_column_bytes(stmt, kSummaryColumnCount + 1) != 32 ||
                !same_claim_hash(static_cast<const unsigned char*>(stored), claim_hash))
                return reset(stmt, StoreStatus::not_found);
        }
        read_summary(stmt, &out->summary);
        const void* doc = sqlite3_column_blob(stmt, kSummaryColumnCount);
        out->document.assign(static_cast<const char*>(doc),
                             static_cast<size_t>(sqlite3_column_bytes(stmt, kSummaryColumnCount)));
        return reset(stmt, StoreStatus::ok);
    }

    bool prepare_schema(const std::string& path, std::string* error) {
        const std::string not_ours = "database " + path + " is not a quillmoth results database";
        // The exclusive lock keeps two servers starting together from both creating the schema.
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
        if (!empty && values[0] != kApplicationId) {
            *error = not_ours;
        } else if (values[1] > kSchemaVersion) {
            *error = "database " + path + " has schema version " + std::to_string(values[1]) +
                     ", newer than this quillmoth-server knows (" + std::to_string(kSchemaVersion) + ")";
        } else if (empty && !writer_->exec(schema_sql().c_str())) {
            *error = "cannot create the tables in " + path + ": " + sqlite3_errmsg(writer_->db);
        }
        // Schema version 1 is the first: later versions migrate here.
        if (!error->empty() || !writer_->exec("COMMIT")) {
            if (error->empty()) *error = "cannot write database " + path + ": " + sqlite3_errmsg(writer_->db);
            writer_->exec("ROLLBACK");
            return false;
        }
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
};

}  // namespace

std::unique_ptr<ResultStore> open_sqlite_store(const std::string& path, std::string* error) {
    error->clear();
    auto store = std::make_unique<SqliteStore>();
    if (!store->open(path, error)) return nullptr;
    return store;
}
