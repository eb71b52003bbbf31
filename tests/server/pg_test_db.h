// A private schema per test in the PostgreSQL database named by
// QM_TEST_PG_URI (set by scripts/pg_cluster.sh), so tests running at the same
// time never see each other's rows. A schema costs milliseconds where a fresh
// database costs seconds.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#ifdef QM_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

struct PgScratch {
    std::string uri;     // the base URI with search_path and application_name set
    std::string schema;  // also the application_name, to find this test's sessions
};

// Empty when no cluster is configured: PostgreSQL tests skip.
inline std::string pg_test_base_uri() {
#ifdef QM_HAVE_LIBPQ
    const char* uri = std::getenv("QM_TEST_PG_URI");
    return uri != nullptr ? uri : "";
#else
    return "";
#endif
}

#ifdef QM_HAVE_LIBPQ

// Runs SQL on a short-lived connection to uri: the first column of the first
// row ("" when there is none), or "ERROR: ..." when it fails.
inline std::string pg_test_sql(const std::string& uri, const std::string& sql) {
    PGconn* conn = PQconnectdb(uri.c_str());
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    std::string out;
    if (PQstatus(conn) != CONNECTION_OK) {
        out = std::string("ERROR: ") + PQerrorMessage(conn);
    } else {
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            out = std::string("ERROR: ") + PQresultErrorMessage(r);
        else if (PQntuples(r) > 0)
            out = PQgetvalue(r, 0, 0);
        PQclear(r);
    }
    PQfinish(conn);
    return out;
}

inline std::string pg_test_uri_with(const std::string& base, const std::string& params) {
    return base + (base.find('?') == std::string::npos ? "?" : "&") + params;
}

// Creates an empty schema, first and only on the URI's search path.
inline bool pg_scratch_create(const std::string& base, PgScratch* out, std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    char name[64];
    std::snprintf(name, sizeof name, "qm_t%u_%u_%08x", static_cast<unsigned>(getpid()), counter++, rd());
    out->schema = name;
    out->uri = pg_test_uri_with(base, "options=-c%20search_path%3D" + out->schema + "&application_name=" + out->schema);
    *error = pg_test_sql(base, "CREATE SCHEMA " + out->schema);
    return error->empty();
}

inline void pg_scratch_drop(const PgScratch& scratch) {
    pg_test_sql(scratch.uri, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
                                 scratch.schema + "' AND pid <> pg_backend_pid()");
    pg_test_sql(scratch.uri, "DROP SCHEMA IF EXISTS " + scratch.schema + " CASCADE");
}

// A test on a schema of its own; skipped when no cluster is configured.
class PgScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = pg_test_base_uri();
        if (base_.empty()) GTEST_SKIP() << "no PostgreSQL cluster: QM_TEST_PG_URI is not set";
        std::string error;
        ASSERT_TRUE(pg_scratch_create(base_, &scratch_, &error)) << error;
    }
    void TearDown() override {
        if (!scratch_.schema.empty()) pg_scratch_drop(scratch_);
    }
    std::string base_;
    PgScratch scratch_;
};

#endif
