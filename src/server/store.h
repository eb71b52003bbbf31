// Storage of uploaded results behind one small interface, so that a second
// database backend can follow without touching the pages or the API.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "workloads/catalogue.h"

enum { kSuiteRaw = 0, kSuiteReal = 1 };
enum { kPassMulti = 0, kPassSingle = 1 };

// What is extracted from a validated document for listing and search; the
// document itself stays the source of truth.
struct ResultSummary {
    std::string id;          // random, URL-safe, unguessable
    int64_t uploaded_at = 0; // Unix seconds, server clock
    std::string cpu, model, operating_system, compiler;
    int64_t cores = 0, threads = 0;
    // Each test's display_metric: [suite][pass][test].
    double figures[2][2][kTestCount] = {};
    std::string label;       // given by the owner on the claim page
    int listed = 1;          // 0: reachable by link only
};

struct StoredResult {
    ResultSummary summary;
    std::string document;    // byte for byte as received
};

struct ListQuery {
    std::string cpu_contains;  // case-insensitive substring of the CPU name; empty: all
    int64_t offset = 0;
    int limit = 20;
};

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
};

#include <memory>

// Opens the store named by --db: a "postgresql://" or "postgres://" URI
// selects PostgreSQL, anything else is a SQLite file path. On failure returns
// null and puts one line (never a password) in *error.
std::unique_ptr<ResultStore> open_result_store(const std::string& db, int connections, std::string* error);
std::unique_ptr<ResultStore> open_sqlite_store(const std::string& path, std::string* error);
// Built only with libpq; otherwise returns null with a clear error.
std::unique_ptr<ResultStore> open_postgres_store(const std::string& uri, int connections, std::string* error);
