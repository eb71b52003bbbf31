// The HTTP side of the results service: command line, upload API, listing
// API, limits and headers shared by every route, and the access log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/store.h"

namespace httplib {
class Server;
}

constexpr size_t kMaxBodyBytes = 131072;
constexpr int kWorkerThreads = 16;  // per listening address

struct ListenAddress {
    std::string host;  // as given, without the brackets of an IPv6 address
    int port = 0;      // 0: any free port
};

struct ServerOptions {
    std::vector<ListenAddress> listen;
    std::string db = "quillmoth-results.db";
    std::string public_url;  // empty: http://localhost:PORT of the first address
    int unlisted = 0;
    int upload_limit = 60;   // per minute per client address; 0: no limit
    int help = 0;
};

extern const char kServerUsage[];

// Parses the command line (argv[0] is the program). Returns 1, or 0 with one
// line (no newline) in *error.
int parse_server_options(int argc, const char* const* argv, ServerOptions* options, std::string* error);

// Splits "http[s]://host[:port][/path]" into the link base (no trailing
// slash) and its path ("" or "/path"). Returns 0 with *error for anything
// else, queries, fragments and user parts included.
int parse_public_url(const std::string& url, std::string* base, std::string* path, std::string* error);

// Uploads per minute per client address, as a token bucket that refills
// continuously, so a client at the limit is never locked out for long.
class RateLimiter {
public:
    explicit RateLimiter(int per_minute) : per_minute_(per_minute) {}
    // now in seconds on any steady clock.
    bool allow(const std::string& address, double now);

private:
    struct Bucket {
        double tokens, updated;
    };
    int per_minute_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

struct ServiceContext {
    ResultStore* store = nullptr;
    std::string public_url;  // link base, without trailing slash
    std::string base_path;   // "" or "/path"
    int unlisted = 0;
    RateLimiter* limiter = nullptr;  // null: no limit
    FILE* access_log = nullptr;      // null: no log
    // Seams for the tests: wall clock (Unix seconds) and a steady clock (seconds).
    std::function<int64_t()> now;
    std::function<double()> steady;
};

// Fills in the clocks and the link base/path from options; 0 with *error
// when the public URL is unusable.
int init_service_context(ServiceContext* ctx, const ServerOptions& options, int first_port, std::string* error);

// Limits, time-outs, worker threads and listening socket options; needed
// before the server binds.
void prepare_http_server(httplib::Server* http);

// Sets up one listening server (prepare_http_server included): limits, time-outs, security headers, access
// log, the API routes and the pages. ctx must outlive the server.
void configure_http_server(httplib::Server* http, ServiceContext* ctx);

// The access log's form of a path: a claim code never reaches the log, and
// bytes that could forge log lines are escaped.
std::string loggable_path(const std::string& path);
