#include "server/service.h"

#include <strings.h>
#include <time.h>

#include <chrono>

#include "server/http/access_log.h"
#include "server/routes.h"

int init_service_context(ServiceContext* ctx, const ServerOptions& options, int first_port, std::string* error) {
    const std::string url =
        options.public_url.empty() ? "http://localhost:" + std::to_string(first_port) : options.public_url;
    if (!parse_public_url(url, &ctx->public_url, &ctx->base_path, error)) return 0;
    ctx->unlisted = options.unlisted;
    ctx->trusted_proxies.clear();
    for (const std::string& text : options.trusted_proxies) {
        Cidr block;
        if (!parse_cidr(text, &block)) {
            *error = "bad --trusted-proxy '" + text + "': expected an address or ADDRESS/BITS";
            return 0;
        }
        ctx->trusted_proxies.push_back(block);
    }
    if (!ctx->now) ctx->now = [] { return static_cast<int64_t>(time(nullptr)); };
    if (!ctx->steady)
        ctx->steady = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    return 1;
}

HttpHandlers service_handlers(ServiceContext* ctx) {
    HttpHandlers h;
    h.handle = [ctx](const HttpRequest& req, HttpResponse* res) { route_request(ctx, req, res); };
    h.refuse = [ctx](const HttpRequest& req, int status, const char* message, HttpResponse* res) {
        send_refusal(ctx, req.path, status, message, res);
    };
    FILE* log = ctx->access_log;
    if (log != nullptr) h.log = [log](const HttpRequest& req, const HttpResponse& res) { write_access_log(log, req, res); };
    h.client_of = [ctx](const HttpRequest& req) {
        return client_address(req.peer, req.header("X-Forwarded-For"), ctx->trusted_proxies);
    };
    h.uncapped = [ctx](const std::string& peer) { return cidr_contains(ctx->trusted_proxies, peer); };
    return h;
}

const std::string* HttpRequest::header(const char* name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name) == 0) return &value;
    return nullptr;
}
