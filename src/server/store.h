// Storage of uploaded results behind one small interface, so that a second
// database backend can follow without touching the pages or the API.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/fields.h"
#include "server/scores.h"
#include "workloads/catalogue.h"

// What is extracted from a validated document for listing and search; the
// document itself stays the source of truth.
struct ResultSummary {
    std::string id;          // random, URL-safe, unguessable
    int64_t uploaded_at = 0; // Unix seconds, server clock
    std::string cpu, model, operating_system, compiler, architecture;
    int64_t cores = 0, threads = 0;
    // Each test's display_metric: [suite][pass][test].
    double figures[2][2][kTestCount] = {};
    std::string label;       // given by the owner on the claim page
    int listed = 1;          // 0: reachable by link only
    // Derived from the document at upload, back-filled for older results.
    double scores[kScoreCount] = {};
    int flags = 0;           // kFlag*; the store adds kFlagDuplicate
    std::string processor_key;
    std::string content_hash;  // 32 bytes
    int64_t seq = 0;           // the store's order of insertion: cursors and export
};

struct StoredResult {
    ResultSummary summary;
    std::string document;    // byte for byte as received
};

enum class ListOrder { newest, multi, single };  // the last two: that headline score, best first

struct ListQuery {
    std::string cpu_contains;  // case-insensitive substring of the CPU name; empty: all
    std::string architecture;  // exactly; empty: all
    ListOrder order = ListOrder::newest;
    // Rankings leave flagged results out unless asked; the newest-first list
    // shows them, with their flags.
    int with_flagged = 0;
    // Keyset paging: only rows after this one in the list's order (its
    // uploaded_at or score, then seq), found through the index rather than
    // by counting past an offset. Without it, offset applies.
    int after_set = 0;
    double after_value = 0;  // uploaded_at, or the ordering score
    int64_t after_seq = 0;
    // With after_set: the rows just before the cursor instead (a pager's
    // "previous"), still returned in the list's order.
    int before = 0;
    // Whether to count every match into *total (-1 when not counted): a
    // count walks all the matches, which a cursor's next page does not need.
    int count = 1;
    int64_t offset = 0;
    int limit = 20;
};

// One processor's entry in the per-CPU list.
struct CpuEntry {
    std::string processor_key, cpu, architecture;  // cpu: the name of its newest result
    int64_t count = 0;
    double median_multi = 0, median_single = 0;
};

struct CpuStats;

// Takes one exported result; false stops the export.
using ExportRow = std::function<bool(const ResultSummary& row)>;

enum class StoreStatus { ok, not_found, unavailable, error };

class ResultStore {
public:
    virtual ~ResultStore() = default;
    // Returns ok only once the result is durably committed.
    virtual StoreStatus insert(const StoredResult& result, const unsigned char claim_hash[32]) = 0;
    virtual StoreStatus get(const std::string& id, StoredResult* out) = 0;
    // Listed results only, newest first; *total counts every match.
    virtual StoreStatus list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) = 0;
    // The result whose claim code hashes to claim_hash.
    virtual StoreStatus find_by_claim(const unsigned char claim_hash[32], StoredResult* out) = 0;
    virtual StoreStatus set_label_and_listing(const std::string& id, const std::string& label, int listed) = 0;
    virtual StoreStatus remove(const std::string& id) = 0;
    // The settings that make an acknowledged write durable, as the writing
    // connection reports them ("journal_mode=wal synchronous=2"), so that a
    // test can check them rather than trust that they were set.
    virtual std::string durability() = 0;
    // Every listed result with seq > since, in seq order, handed to row one by
    // one (a page at a time from the database, so memory stays flat however
    // many there are); row returning false stops the walk.
    virtual StoreStatus export_rows(int64_t since, const ExportRow& row) = 0;
    // Of the listed, unflagged results of one processor: how many there are
    // and how many have a multi-core score below `score` (an indexed count).
    virtual StoreStatus processor_rank(const std::string& processor_key, double score, int64_t* below,
                                       int64_t* total) = 0;

    // Per-processor statistics are kept in the database: every write marks
    // its processor stale in the same transaction, and a StatsRefresher
    // (stats_refresher.h) of each store recomputes stale ones off the request
    // path, so these read what was last computed, at most a few seconds old.
    //
    // Every processor with listed results (unflagged ones only, unless
    // with_flagged), in key order.
    virtual StoreStatus cpu_list(int with_flagged, std::vector<CpuEntry>* out) = 0;
    // One processor's entry and statistics; computed from its results when
    // none are stored yet; not_found when it has no such results.
    virtual StoreStatus cpu_stats(const std::string& processor_key, int with_flagged, CpuEntry* entry,
                                  CpuStats* stats) = 0;
    // The best `limit` of one processor's listed results (unflagged only
    // unless with_flagged) by multi-core score, read through the index;
    // their figures are left zero.
    virtual StoreStatus cpu_results(const std::string& processor_key, int with_flagged, int limit,
                                    std::vector<ResultSummary>* out) = 0;
    // The refresher's two steps: the processors marked stale, and recomputing
    // one of them (safe against other stores on the same database doing the
    // same: the newer computation wins).
    virtual StoreStatus stale_processors(std::vector<std::string>* keys) = 0;
    virtual StoreStatus refresh_processor(const std::string& processor_key) = 0;
    // A number that changes whenever any statistics are written, by any
    // store on the database: what was rendered from cpu_list stays good
    // while it is the same.
    virtual StoreStatus stats_version(int64_t* version) = 0;
};

#include <memory>

// Opens the store named by --db: a "postgresql://" or "postgres://" URI
// selects PostgreSQL, anything else is a SQLite file path. On failure returns
// null and puts one line (never a password) in *error.
std::unique_ptr<ResultStore> open_result_store(const std::string& db, int connections, std::string* error);
std::unique_ptr<ResultStore> open_sqlite_store(const std::string& path, std::string* error);
// Built only with libpq; otherwise returns null with a clear error.
std::unique_ptr<ResultStore> open_postgres_store(const std::string& uri, int connections, std::string* error);
