// The results service: what every route shares (store, links, limits, log),
// and the handlers that join the HTTP core to the route table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/config/options.h"
#include "server/http/client_address.h"
#include "server/http/core.h"
#include "server/http/rate_limiter.h"
#include "server/store.h"

// The processor list as last rendered, per order and toggle, with the
// statistics version it shows (ResultStore::stats_version): served again
// until any processor's statistics change, on this instance or another;
// and its rows, so that a change renders only the rows it changed.
struct RenderedCpuLists {
    std::mutex mutex;
    std::map<std::string, std::pair<int64_t, std::string>> pages;
    std::map<std::string, std::string> rows[2];  // [with flagged]
};

struct ServiceContext {
    ResultStore* store = nullptr;
    std::string public_url;  // link base, without trailing slash
    std::string base_path;   // "" or "/path"
    int unlisted = 0;
    RateLimiter* limiter = nullptr;  // null: no limit
    FILE* access_log = nullptr;      // null: no log
    std::vector<Cidr> trusted_proxies;
    std::shared_ptr<RenderedCpuLists> cpu_lists = std::make_shared<RenderedCpuLists>();
    // Seams for the tests: wall clock (Unix seconds) and a steady clock (seconds).
    std::function<int64_t()> now;
    std::function<double()> steady;
};

// Fills in the clocks, the trusted proxies and the link base/path from
// options; 0 with *error when the public URL is unusable.
int init_service_context(ServiceContext* ctx, const ServerOptions& options, int first_port, std::string* error);

// The HTTP core's callbacks for this service: the route table, refusals in
// the form each path calls for, client addresses and the access log. ctx
// must outlive every server started with them.
HttpHandlers service_handlers(ServiceContext* ctx);

// The access log's form of a path: a claim code never reaches the log, and
// bytes that could forge log lines are escaped.
std::string loggable_path(const std::string& path);
