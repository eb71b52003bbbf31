// Upload load against running quillmoth-server processes: C clients, each on
// a kept-alive connection, post the golden document for S seconds, spread
// round-robin over the given servers. Prints one line: uploads acknowledged
// (201) per second, and how many answers were anything else.
//
//   server_upload_load GOLDEN_DOCUMENT --target HOST:PORT [--target ...] [--clients C] [--seconds S]
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Target {
    std::string host;
    int port = 0;
};

bool parse_target(const char* text, Target* out) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr || colon == text) return false;
    out->host.assign(text, static_cast<size_t>(colon - text));
    out->port = std::atoi(colon + 1);
    return out->port > 0 && out->port < 65536;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "usage: server_upload_load GOLDEN_DOCUMENT --target HOST:PORT [--target ...] [--clients C] [--seconds S]\n";
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 1;
    }
    std::vector<Target> targets;
    int clients = 8;
    double seconds = 10;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            std::fputs(usage, stderr);
            return 1;
        }
        if (arg == "--target") {
            Target t;
            if (!parse_target(argv[++i], &t)) {
                std::fprintf(stderr, "server_upload_load: bad target '%s'\n", argv[i]);
                return 1;
            }
            targets.push_back(t);
        } else if (arg == "--clients") {
            clients = std::atoi(argv[++i]);
        } else if (arg == "--seconds") {
            seconds = std::atof(argv[++i]);
        } else {
            std::fputs(usage, stderr);
            return 1;
        }
    }
    if (targets.empty() || clients < 1 || clients > 256 || !(seconds > 0 && seconds <= 600)) {
        std::fputs(usage, stderr);
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string document = buffer.str();
    while (!document.empty() && (document.back() == '\n' || document.back() == '\r')) document.pop_back();
    if (document.empty()) {
        std::fprintf(stderr, "server_upload_load: cannot read %s\n", argv[1]);
        return 1;
    }

    std::atomic<long> acknowledged{0}, other{0};
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const Target& t = targets[static_cast<size_t>(c) % targets.size()];
            httplib::Client client(t.host, t.port);
            client.set_keep_alive(true);
            client.set_connection_timeout(5);
            client.set_read_timeout(30);
            while (std::chrono::steady_clock::now() < end) {
                auto r = client.Post("/api/v1/submissions", document, "application/json");
                if (r && r->status == 201)
                    ++acknowledged;
                else
                    ++other;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d clients, %zu server(s), %.1f s: %.0f uploads/s acknowledged, %ld other answers\n", clients,
                targets.size(), elapsed, static_cast<double>(acknowledged) / elapsed, other.load());
    return other == 0 ? 0 : 2;
}
