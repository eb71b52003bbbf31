// Time to serve the result pages from a large database. Fills a scratch
// SQLite database through the store (once: a later run reuses it), serves it
// with the real HTTP set-up on a loopback ephemeral port, and times whole GET
// round trips (query, render, send) from a keep-alive client.
//
// usage: quillmoth_bench_pages [--db=PATH] [--results=N] [Google Benchmark flags]
// (defaults: quillmoth-bench-pages.db in the working directory, 100000)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <httplib.h>
#include <sqlite3.h>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/ids.h"
#include "server/pages/pages.h"
#include "server/service.h"
#include "server/store.h"
#include "server/validate.h"

#ifndef QM_GOLDEN_DOCUMENT
#error "QM_GOLDEN_DOCUMENT must name the golden result document"
#endif

namespace {

std::unique_ptr<ResultStore> g_store;
std::vector<std::string> g_ids;  // spread over the whole database
int g_port = 0;
std::string g_shared_upload;  // a document of the 10,000-result processor

// Varied CPU names, so the filter and the list look like real traffic.
const char* const kCpuNames[] = {
    "Intel(R) Xeon(R) Gold 6338 CPU @ 2.00GHz", "AMD Ryzen 9 7950X 16-Core Processor",
    "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz", "AMD EPYC 7763 64-Core Processor",
    "Intel(R) Core(TM) i5-1135G7 @ 2.40GHz",     "AMD Ryzen 5 5600X 6-Core Processor",
};

constexpr int kSharedCpu = 3;  // every tenth result is this processor's: 10,000 of 100,000

// Runs sql on the database file itself; "" or the error.
std::string run_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string error;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) error = "cannot open";
    sqlite3_busy_timeout(db, 60000);  // the store's own writer may be refreshing statistics
    char* message = nullptr;
    if (error.empty() && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        error = message ? message : "failed";
    sqlite3_free(message);
    sqlite3_close(db);
    return error;
}

// Six results through the store, one per CPU name; the rest are copies made
// by the database itself (100,000 synced uploads would take an hour): every
// tenth of the shared processor, the others spread over about 3,000
// processors, with scores spread from 0.5 to 1.5 times their seed's.
int fill(const std::string& path, const std::string& golden, int64_t wanted) {
    ListQuery q;
    q.limit = 1;
    std::vector<ResultSummary> rows;
    int64_t have = 0;
    if (g_store->list(q, &rows, &have) != StoreStatus::ok) return 0;
    const std::string head = "{\"cpu\":\"Sample CPU @ 3.00GHz\"";
    if (golden.compare(0, head.size(), head) != 0) return 0;
    const int64_t start = 1700000000;
    for (int64_t i = have; i < 6 && i < wanted; ++i) {
        StoredResult r;
        r.document = "{\"cpu\":\"" + std::string(kCpuNames[i]) + "\"" + golden.substr(head.size());
        std::vector<std::string> errors;
        if (!validate_document(r.document, &r.summary, &errors)) return 0;
        r.summary.id = new_result_id();
        r.summary.uploaded_at = start + i;
        unsigned char hash[32];
        system_random(hash, sizeof hash);
        if (g_store->insert(r, hash) != StoreStatus::ok) return 0;
        have = i + 1;
    }
    if (have < wanted) {
        std::fprintf(stderr, "filling %lld results\n", static_cast<long long>(wanted));
        std::string scores, scaled;
        for (const char* column : {"score_raw_multi", "score_raw_single", "score_real_multi", "score_real_single",
                                   "score_multi", "score_single"}) {
            scores += std::string(", ") + column;
            scaled += std::string(", s.") + column + " * (0.5 + (c.i * 7919 % 1000) / 1000.0)";
        }
        char range[200];
        std::snprintf(range, sizeof range,
                      "WITH RECURSIVE c(i) AS (SELECT %lld UNION ALL SELECT i + 1 FROM c WHERE i < %lld) ",
                      static_cast<long long>(have), static_cast<long long>(wanted - 1));
        const std::string shared = "c.i % 10 = 0", suffix = " || ' #' || (c.i % 1000)";
        const std::string sql =
            "BEGIN; CREATE TEMP TABLE seeds AS SELECT row_number() OVER (ORDER BY seq) - 1 AS k, * FROM results;"
            " INSERT INTO results (id, uploaded_at, cpu, model, operating_system, compiler, architecture, cores,"
            " threads, label, listed, flags, processor_key" + scores + ", claim_hash, content_hash, document) " +
            range +
            "SELECT 'bench' || replace(replace(replace(replace(printf('%011d', c.i), '0', 'q'), '1', 'r'), '8', 's'),"
            " '9', 't'), " + std::to_string(start) + " + c.i,"
            " CASE WHEN " + shared + " THEN s.cpu ELSE s.cpu" + suffix + " END, s.model, s.operating_system,"
            " s.compiler, s.architecture, s.cores, s.threads, '', 1, 0,"
            " CASE WHEN " + shared + " THEN s.processor_key ELSE s.processor_key" + suffix + " END" + scaled +
            ", randomblob(32), randomblob(32), s.document FROM c JOIN seeds s ON s.k = CASE WHEN " + shared +
            " THEN " + std::to_string(kSharedCpu) + " ELSE c.i % 6 END;"
            " INSERT INTO figures (seq, suite, pass, test, value) SELECT r.seq, f.suite, f.pass, f.test, f.value"
            " FROM results r JOIN figures f ON f.seq = (SELECT min(seq) FROM results) WHERE r.seq > (SELECT max(seq)"
            " FROM seeds); INSERT INTO stale_marks (processor_key) SELECT DISTINCT processor_key FROM results; COMMIT;";
        const std::string error = run_sql(path, sql);
        if (!error.empty()) {
            std::fprintf(stderr, "quillmoth_bench_pages: %s\n", error.c_str());
            return 0;
        }
    }
    // The statistics of every processor computed, as a running server has them.
    std::vector<std::string> stale;
    for (;;) {
        if (g_store->stale_processors(&stale) != StoreStatus::ok) return 0;
        if (stale.empty()) break;
        std::fprintf(stderr, "waiting for the statistics of %zu processors\n", stale.size());
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    // One id from every 50th page, newest to oldest.
    for (int64_t offset = 0; offset < wanted; offset += wanted / 100 + 1) {
        q.offset = offset;
        q.limit = 1;
        int64_t total = 0;
        if (g_store->list(q, &rows, &total) == StoreStatus::ok && !rows.empty()) g_ids.push_back(rows[0].id);
    }
    return !g_ids.empty();
}

// warm: one untimed round first, so that kept answers are timed as kept.
void get(benchmark::State& state, const std::vector<std::string>& paths, bool warm = false) {
    httplib::Client client("127.0.0.1", g_port);
    client.set_keep_alive(true);
    if (warm)
        for (const std::string& path : paths) client.Get(path);
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const auto res = client.Get(paths[i++ % paths.size()]);
        if (!res || res->status != 200) {
            state.SkipWithError("request failed");
            break;
        }
        bytes += res->body.size();
    }
    state.counters["bytes/page"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

// A whole export, read as it streams and thrown away (the client keeps no
// copy of the 100 MB body).
void get_export(benchmark::State& state, const std::string& path) {
    httplib::Client client("127.0.0.1", g_port);
    client.set_read_timeout(120, 0);
    size_t bytes = 0, lines = 0;
    for (auto _ : state) {
        bytes = lines = 0;
        const auto res = client.Get(path, [&](const char* data, size_t length) {
            bytes += length;
            for (size_t i = 0; i < length; ++i) lines += data[i] == '\n';
            return true;
        });
        if (!res || res->status != 200) {
            const std::string why = "request failed: " + (res ? std::to_string(res->status) : httplib::to_string(res.error()));
            state.SkipWithError(why.c_str());
            break;
        }
    }
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["lines"] = static_cast<double>(lines);
}

// The first request after an upload to the processor, as the next visitor
// after any change meets it; the upload itself is not timed. refreshed: the
// request waits (untimed) until the statistics took the upload in, so that
// it is the first to render them.
void get_after_upload(benchmark::State& state, const std::string& path, bool refreshed = false) {
    httplib::Client client("127.0.0.1", g_port);
    client.set_keep_alive(true);
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto posted = client.Post("/api/v1/submissions", g_shared_upload, "application/json");
        std::vector<std::string> stale;
        while (refreshed && g_store->stale_processors(&stale) == StoreStatus::ok && !stale.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.ResumeTiming();
        const auto res = client.Get(path);
        if (!posted || posted->status != 201 || !res || res->status != 200) {
            state.SkipWithError("request failed");
            break;
        }
        bytes += res->body.size();
    }
    state.counters["bytes/page"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

// The same pages without HTTP, split into the store's part and the renderer's.
void store_list(benchmark::State& state, const std::string& cpu) {
    ListQuery q;
    q.cpu_contains = cpu;
    std::vector<ResultSummary> rows;
    int64_t total = 0;
    for (auto _ : state) benchmark::DoNotOptimize(g_store->list(q, &rows, &total));
}

void render_list(benchmark::State& state) {
    ListQuery q;
    std::vector<ResultSummary> rows;
    int64_t total = 0;
    g_store->list(q, &rows, &total);
    const ListLinks links = {"", "1700099980_99981"};
    for (auto _ : state) benchmark::DoNotOptimize(render_list_page(PageContext(), q, rows, links));
}

void render_result(benchmark::State& state) {
    StoredResult r;
    g_store->get(g_ids[0], &r);
    for (auto _ : state) benchmark::DoNotOptimize(render_result_page(PageContext(), r));
}

}  // namespace

int main(int argc, char** argv) {
    std::string db = "quillmoth-bench-pages.db";
    int64_t results = 100000;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--db=", 5) == 0) db = argv[i] + 5;
        else if (std::strncmp(argv[i], "--results=", 10) == 0) results = std::atoll(argv[i] + 10);
        else rest.push_back(argv[i]);
    }
    std::string error;
    g_store = open_sqlite_store(db, &error);
    if (!g_store) {
        std::fprintf(stderr, "quillmoth_bench_pages: %s\n", error.c_str());
        return 1;
    }
    std::ostringstream golden;
    golden << std::ifstream(QM_GOLDEN_DOCUMENT, std::ios::binary).rdbuf();
    if (results < 1 || !fill(db, golden.str(), results)) {
        std::fprintf(stderr, "quillmoth_bench_pages: could not fill %s\n", db.c_str());
        return 1;
    }

    const std::string head = "{\"cpu\":\"Sample CPU @ 3.00GHz\"";
    g_shared_upload = "{\"cpu\":\"" + std::string(kCpuNames[kSharedCpu]) + "\"" + golden.str().substr(head.size());

    ServiceContext ctx;
    ctx.store = g_store.get();
    HttpCorePtr http = http_bind({"127.0.0.1", 0}, &g_port, &error);
    if (!http || !init_service_context(&ctx, ServerOptions(), g_port, &error)) return 1;
    ctx.public_url = "http://127.0.0.1";
    const HttpHandlers handlers = service_handlers(&ctx);
    if (!http_start(http.get(), &handlers, &error)) return 1;

    std::vector<std::string> result_paths, compare_paths;
    for (size_t i = 0; i < g_ids.size(); ++i) {
        result_paths.push_back("/results/" + g_ids[i]);
        compare_paths.push_back("/compare?ids=" + g_ids[i] + "," + g_ids[(i + 1) % g_ids.size()] + "," +
                                g_ids[(i + 2) % g_ids.size()]);
    }
    const auto add = [](const char* name, std::vector<std::string> paths) {
        benchmark::RegisterBenchmark(name, [paths](benchmark::State& s) { get(s, paths); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    add("GET /results/ID", result_paths);
    add("GET / (newest 20)", {"/"});
    // The 2,500th page, 49,980 rows down, by its cursor.
    char deep[64];
    std::snprintf(deep, sizeof deep, "/?after=%lld_%lld", 1700000000LL + results - 49981, static_cast<long long>(results - 49980));
    add("GET /?after= (cursor 49,980 rows down)", {deep});
    add("GET /?cpu=xeon (filter)", {"/?cpu=xeon"});
    // A name that matches a few results, and one that matches none: no early stop.
    add("GET /?cpu=processor%20%23123 (rare filter)", {"/?cpu=processor%20%23123"});
    add("GET /?cpu=no%20such%20cpu (no match)", {"/?cpu=no%20such%20cpu"});
    add("GET /?sort=multi (by score)", {"/?sort=multi"});
    add("GET /cpus", {"/cpus"});
    add("GET /cpus?sort=multi", {"/cpus?sort=multi"});
    add("GET /cpus/KEY (10,000 results)", {"/cpus/x86-64:amd%20epyc%207763%2064-core%20processor"});
    add("GET /api/v1/cpus/KEY (10,000 results)", {"/api/v1/cpus/x86-64:amd%20epyc%207763%2064-core%20processor"});
    // The same three once kept: the first answer after a change costs the above.
    for (const char* path : {"/cpus", "/cpus/x86-64:amd%20epyc%207763%2064-core%20processor",
                             "/api/v1/cpus/x86-64:amd%20epyc%207763%2064-core%20processor"})
        benchmark::RegisterBenchmark((std::string("GET ") + path + " (kept)").c_str(),
                                     [path](benchmark::State& s) { get(s, {path}, true); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    for (const char* path : {"/cpus", "/cpus/x86-64:amd%20epyc%207763%2064-core%20processor",
                             "/api/v1/cpus/x86-64:amd%20epyc%207763%2064-core%20processor"})
        benchmark::RegisterBenchmark((std::string("GET ") + path + " (first after an upload)").c_str(),
                                     [path](benchmark::State& s) { get_after_upload(s, path); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(8);
    for (const char* path : {"/cpus", "/cpus/x86-64:amd%20epyc%207763%2064-core%20processor",
                             "/api/v1/cpus/x86-64:amd%20epyc%207763%2064-core%20processor"})
        benchmark::RegisterBenchmark((std::string("GET ") + path + " (first after an upload, refreshed)").c_str(),
                                     [path](benchmark::State& s) { get_after_upload(s, path, true); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(8);
    add("GET /compare (3 results)", compare_paths);
    for (const char* path : {"/api/v1/export.csv", "/api/v1/export.ndjson"})
        benchmark::RegisterBenchmark((std::string("GET ") + path + " (all rows)").c_str(),
                                     [path](benchmark::State& s) { get_export(s, path); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);

    benchmark::RegisterBenchmark("store list, newest 20", [](benchmark::State& s) { store_list(s, ""); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("store list, cpu filter", [](benchmark::State& s) { store_list(s, "xeon"); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("store cpu_list", [](benchmark::State& s) {
        std::vector<CpuEntry> cpus;
        for (auto _ : s) benchmark::DoNotOptimize(g_store->cpu_list(0, &cpus));
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("store cpu_results (best 200 of 10,000)", [](benchmark::State& s) {
        std::vector<ResultSummary> rows;
        for (auto _ : s)
            benchmark::DoNotOptimize(g_store->cpu_results("x86-64:amd epyc 7763 64-core processor", 0, 200, &rows));
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("render cpus page (every processor)", [](benchmark::State& s) {
        std::vector<CpuEntry> cpus;
        g_store->cpu_list(0, &cpus);
        for (auto _ : s) benchmark::DoNotOptimize(render_cpus_page(PageContext(), cpus, 0));
        s.counters["processors"] = static_cast<double>(cpus.size());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("store export_rows (all rows)", [](benchmark::State& s) {
        int64_t rows = 0;
        for (auto _ : s) {
            rows = 0;
            g_store->export_rows(0, [&](const ResultSummary&) { return ++rows > 0; });
        }
        s.counters["rows"] = static_cast<double>(rows);
    })->Unit(benchmark::kMillisecond)->Iterations(1);
    benchmark::RegisterBenchmark("render list page (20 rows)", render_list)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("render result page", render_result)->Unit(benchmark::kMillisecond);

    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    http.reset();
    return 0;
}
