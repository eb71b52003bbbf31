// Sustained uploads per second against the results service with durable
// commits: an in-process server on a loopback port with a fresh SQLite file,
// C clients each posting the golden document over a kept-alive connection
// for S seconds. Then, for comparison, the rate of fsync'd 4 KiB appends in
// the same directory: with one sync per commit that rate is the ceiling
// without batching.
//
//   server_upload_bench GOLDEN_DOCUMENT [--clients C] [--seconds S] [--dir DIR]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "server/service.h"
#include "server/store.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double fsync_rate(const std::string& dir, double seconds) {
    const std::string path = dir + "/fsync-probe";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 0;
    char block[4096];
    std::memset(block, 'x', sizeof block);
    long syncs = 0;
    const auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < seconds) {
        if (write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block) || fsync(fd) != 0) break;
        ++syncs;
    }
    const double rate = syncs / seconds_since(start);
    close(fd);
    unlink(path.c_str());
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: server_upload_bench GOLDEN_DOCUMENT [--clients C] [--seconds S] [--dir DIR]\n");
        return 1;
    }
    int clients = 8;
    double seconds = 10;
    std::string dir = std::filesystem::temp_directory_path().string();
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clients")) clients = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    }
    std::ostringstream text;
    text << std::ifstream(argv[1], std::ios::binary).rdbuf();
    std::string doc = text.str();
    while (!doc.empty() && (doc.back() == '\n' || doc.back() == '\r')) doc.pop_back();

    char work[4096];
    std::snprintf(work, sizeof work, "%s/qm_bench_XXXXXX", dir.c_str());
    if (mkdtemp(work) == nullptr) return 1;
    std::string error;
    auto store = open_sqlite_store(std::string(work) + "/results.db", &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ServiceContext ctx;
    ctx.store = store.get();
    int port = 0;
    HttpCorePtr http = http_bind({"127.0.0.1", 0}, &port, &error);
    ServerOptions options;
    if (!http || !init_service_context(&ctx, options, port, &error)) return 1;
    const HttpHandlers handlers = service_handlers(&ctx);
    if (!http_start(http.get(), &handlers, &error)) return 1;

    std::atomic<long> created{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);  // else Nagle and delayed ACKs pace every request
            while (!stop) {
                const auto r = client.Post("/api/v1/submissions", doc, "application/json");
                (r && r->status == 201 ? created : failed)++;
            }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double elapsed = seconds_since(start);
    http.reset();
    store.reset();

    std::printf("uploads: %ld created, %ld failed in %.2f s with %d clients: %.0f uploads/s\n", created.load(),
                failed.load(), elapsed, clients, created / elapsed);
    std::printf("fsync'd 4 KiB appends in %s: %.0f/s\n", work, fsync_rate(work, 3.0));
    std::filesystem::remove_all(work);
    return failed == 0 ? 0 : 1;
}
