// The storage backends: what goes in comes back byte for byte, listing
// order, filter and pages, unlisted results, labels, deletion and claim codes.
#include <sqlite3.h>

#include "server/harness.h"

namespace {

class Store : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override { ASSERT_TRUE(backend.store) << backend.error; }

    // Stores a result for cpu at the given upload time; returns its id.
    std::string put(const std::string& cpu, int64_t uploaded_at, int listed = 1, const std::string& code = "") {
        StoredResult r;
        r.document = document_with_cpu(cpu);
        std::vector<std::string> errors;
        EXPECT_EQ(validate_document(r.document, &r.summary, &errors), 1);
        r.summary.id = new_result_id();
        r.summary.uploaded_at = uploaded_at;
        r.summary.listed = listed;
        unsigned char hash[32];
        hash_claim_code(code.empty() ? new_claim_code() : code, hash);
        EXPECT_EQ(store()->insert(r, hash), StoreStatus::ok);
        return r.summary.id;
    }
    std::vector<std::string> listed_ids(const std::string& cpu, int64_t offset, int limit, int64_t* total) {
        ListQuery q;
        q.cpu_contains = cpu;
        q.offset = offset;
        q.limit = limit;
        std::vector<ResultSummary> rows;
        EXPECT_EQ(store()->list(q, &rows, total), StoreStatus::ok);
        std::vector<std::string> ids;
        for (const auto& r : rows) ids.push_back(r.id);
        return ids;
    }
    ResultStore* store() { return backend.store.get(); }

    BackendStore backend{GetParam()};
    const std::string tag = unique_tag();
};

TEST_P(Store, DocumentComesBackByteForByte) {
    StoredResult r;
    // Key order, number spelling and escapes exactly as sent, a NUL-free
    // multi-byte name included: nothing is re-serialised.
    r.document = golden_document();
    const std::string cpu = "\\u00e9 \xc3\xa9 \\\"" + tag;
    r.document.replace(r.document.find("Sample CPU @ 3.00GHz"), 20, cpu);
    std::vector<std::string> errors;
    ASSERT_EQ(validate_document(r.document, &r.summary, &errors), 1) << errors[0];
    r.summary.id = new_result_id();
    r.summary.uploaded_at = 1700000000;
    r.summary.label = "bench <lab>";
    unsigned char hash[32];
    hash_claim_code(new_claim_code(), hash);
    ASSERT_EQ(store()->insert(r, hash), StoreStatus::ok);

    StoredResult back;
    ASSERT_EQ(store()->get(r.summary.id, &back), StoreStatus::ok);
    EXPECT_EQ(back.document, r.document);
    EXPECT_EQ(back.summary.cpu, "\xc3\xa9 \xc3\xa9 \"" + tag);
    EXPECT_EQ(back.summary.uploaded_at, 1700000000);
    EXPECT_EQ(back.summary.label, "bench <lab>");
    EXPECT_EQ(back.summary.threads, 8);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < kTestCount; ++i)
                EXPECT_EQ(back.summary.figures[s][p][i], r.summary.figures[s][p][i]) << s << p << i;
    EXPECT_EQ(store()->get(new_result_id(), &back), StoreStatus::not_found);
}

TEST_P(Store, ListsNewestFirstInPagesWithACaseBlindCpuFilter) {
    std::vector<std::string> ids;  // oldest first; two share an upload second
    for (int i = 0; i < 5; ++i) ids.push_back(put("Alpha " + tag + " cpu", 1000 + (i == 4 ? 3 : i)));
    const std::string other = put("Beta " + tag, 2000);
    int64_t total = 0;
    EXPECT_EQ(listed_ids("alpha " + tag, 0, 2, &total), (std::vector<std::string>{ids[4], ids[3]}));
    EXPECT_EQ(total, 5);
    EXPECT_EQ(listed_ids("ALPHA " + tag, 2, 2, &total), (std::vector<std::string>{ids[2], ids[1]}));
    EXPECT_EQ(listed_ids("Alpha " + tag, 4, 2, &total), (std::vector<std::string>{ids[0]}));
    EXPECT_EQ(listed_ids("Alpha " + tag, 6, 2, &total), std::vector<std::string>{});
    EXPECT_EQ(listed_ids(tag, 0, 10, &total).front(), other);
    EXPECT_EQ(total, 6);
    // LIKE's wildcards in the filter are plain characters.
    EXPECT_EQ(listed_ids(tag + "%", 0, 10, &total), std::vector<std::string>{});
    EXPECT_EQ(listed_ids("_" + tag, 0, 10, &total), std::vector<std::string>{});
}

TEST_P(Store, UnlistedResultsAreReachableOnlyByIdAndListingCanChange) {
    const std::string hidden = put("Gamma " + tag, 5000, 0);
    const std::string shown = put("Gamma " + tag, 4000, 1);
    int64_t total = 0;
    EXPECT_EQ(listed_ids(tag, 0, 10, &total), std::vector<std::string>{shown});
    EXPECT_EQ(total, 1);
    StoredResult r;
    ASSERT_EQ(store()->get(hidden, &r), StoreStatus::ok);
    EXPECT_EQ(r.summary.listed, 0);

    ASSERT_EQ(store()->set_label_and_listing(hidden, "my box", 1), StoreStatus::ok);
    EXPECT_EQ(listed_ids(tag, 0, 10, &total), (std::vector<std::string>{hidden, shown}));
    ASSERT_EQ(store()->get(hidden, &r), StoreStatus::ok);
    EXPECT_EQ(r.summary.label, "my box");
    ASSERT_EQ(store()->set_label_and_listing(shown, "", 0), StoreStatus::ok);
    EXPECT_EQ(listed_ids(tag, 0, 10, &total), std::vector<std::string>{hidden});
    EXPECT_EQ(store()->set_label_and_listing(new_result_id(), "x", 1), StoreStatus::not_found);
}

TEST_P(Store, ClaimCodeFindsItsResultAndDeletionRemovesIt) {
    const std::string code = new_claim_code();
    const std::string id = put("Delta " + tag, 6000, 1, code);
    unsigned char hash[32];
    hash_claim_code(code, hash);
    StoredResult r;
    ASSERT_EQ(store()->find_by_claim(hash, &r), StoreStatus::ok);
    EXPECT_EQ(r.summary.id, id);
    hash[31] ^= 1;
    EXPECT_EQ(store()->find_by_claim(hash, &r), StoreStatus::not_found);

    ASSERT_EQ(store()->remove(id), StoreStatus::ok);
    EXPECT_EQ(store()->get(id, &r), StoreStatus::not_found);
    hash[31] ^= 1;
    EXPECT_EQ(store()->find_by_claim(hash, &r), StoreStatus::not_found);
    int64_t total = 0;
    EXPECT_EQ(listed_ids(tag, 0, 10, &total), std::vector<std::string>{});
    EXPECT_EQ(store()->remove(id), StoreStatus::not_found);
}

TEST_P(Store, ConcurrentWritersAllCommit) {
    std::vector<std::thread> threads;
    std::atomic<int> stored{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                if (!put("Epsilon " + tag, 7000 + t * 10 + i).empty()) ++stored;
        });
    for (auto& t : threads) t.join();
    int64_t total = 0;
    listed_ids(tag, 0, 1, &total);
    EXPECT_EQ(total, 80);
}

INSTANTIATE_TEST_SUITE_P(Backends, Store, testing::ValuesIn(store_backends()));

// ---- SQLite only: the file itself ------------------------------------------

// The file itself: no claim code in clear, reopened intact, marked as ours.
TEST(SqliteFile, HoldsNoClaimCodeInClearAndReopensMarkedAsOurs) {
    TempDir dir;
    const std::string path = dir.path + "/results.db";
    const std::string code = new_claim_code();
    std::string error, id;
    {
        auto store = open_sqlite_store(path, &error);
        ASSERT_TRUE(store) << error;
        StoredResult r;
        r.document = golden_document();
        std::vector<std::string> errors;
        ASSERT_EQ(validate_document(r.document, &r.summary, &errors), 1);
        id = r.summary.id = new_result_id();
        unsigned char hash[32];
        hash_claim_code(code, hash);
        ASSERT_EQ(store->insert(r, hash), StoreStatus::ok);
    }
    std::string bytes;
    for (const char* suffix : {"", "-wal", "-shm"}) bytes += read_file(path + suffix);
    ASSERT_NE(bytes.find("Sample CPU"), std::string::npos);  // the scan does see stored text
    EXPECT_EQ(bytes.find(code), std::string::npos);

    auto store = open_sqlite_store(path, &error);
    ASSERT_TRUE(store) << error;
    StoredResult r;
    EXPECT_EQ(store->get(id, &r), StoreStatus::ok);
    store.reset();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const auto pragma = [db](const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        std::string value = sqlite3_step(stmt) == SQLITE_ROW ? (const char*)sqlite3_column_text(stmt, 0) : "";
        sqlite3_finalize(stmt);
        return value;
    };
    EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(pragma("PRAGMA user_version"), "1");
    EXPECT_EQ(pragma("PRAGMA application_id"), "1364021843");
    EXPECT_EQ(pragma("PRAGMA integrity_check"), "ok");
    sqlite3_close(db);
}

// A file that is not ours is refused and left exactly as it was.
TEST(SqliteFile, RefusesFilesThatAreNotOurs) {
    TempDir dir;
    const auto make_sqlite = [&](const std::string& name, const char* sql) {
        const std::string path = dir.path + "/" + name;
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return path;
    };
    const std::string text = dir.path + "/notes.txt";
    std::ofstream(text) << "my notes, not a database\n" << std::string(5000, 'n');
    const struct {
        std::string path;
        const char* message;
    } cases[] = {
        {text, "is not a quillmoth results database"},
        {make_sqlite("other.db", "CREATE TABLE t(x); INSERT INTO t VALUES (1);"), "is not a quillmoth results database"},
        {make_sqlite("newer.db", "PRAGMA application_id = 1364021843; PRAGMA user_version = 7; CREATE TABLE results(x);"),
         "schema version 7"},
        {dir.path, "is not a regular file"},
        {dir.path + "/missing/dir/results.db", "cannot open database"},
    };
    for (const auto& c : cases) {
        const std::string before = read_file(c.path);
        std::string error;
        EXPECT_FALSE(open_sqlite_store(c.path, &error)) << c.path;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_EQ(read_file(c.path), before) << c.path;
    }
}

}  // namespace
