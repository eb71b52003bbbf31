#include "server/routes.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "server/api/api.h"
#include "server/service.h"

namespace {

const Route kRoutes[] = {
    {"POST", "/api/v1/submissions", api_submit},
    {"GET", "/api/v1/results", api_list},
    {"GET", "/api/v1/results/{id}", api_get_result},
    {"GET", "/api/v1/export.csv", api_export_csv},
    {"GET", "/api/v1/export.ndjson", api_export_ndjson},
    {"GET", "/api/v1/cpus/{key}", api_cpu},
    {"GET", "/", page_list},
    {"GET", "/results/{id}", page_result},
    {"GET", "/compare", page_compare},
    {"GET", "/cpus", page_cpus},
    {"GET", "/cpus/{key}", page_cpu},
    {"GET", "/claim/{code}", page_claim_get},
    {"POST", "/claim/{code}", page_claim_post},
    {"GET", "/style.css", page_style},
};

bool is_segment_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Matches path against pattern; the variable segment goes to *arg.
bool match_path(const char* pattern, const std::string& path, std::string* arg) {
    size_t at = 0;
    for (const char* p = pattern; *p != '\0';) {
        if (*p == '{') {
            // A processor key is any text but '/': the path arrives decoded.
            const bool any = std::strncmp(p, "{key}", 5) == 0;
            const size_t max = std::strncmp(p, "{code}", 6) == 0 ? 128 : any ? 300 : kMaxResultIdBytes;
            const size_t begin = at;
            while (at < path.size() && (any ? path[at] != '/' : is_segment_char(path[at])) && at - begin < max) ++at;
            if (at == begin || (at < path.size() && path[at] != '/')) return false;
            *arg = path.substr(begin, at - begin);
            p = std::strchr(p, '}') + 1;
        } else {
            if (at >= path.size() || path[at] != *p) return false;
            ++at, ++p;
        }
    }
    return at == path.size();
}

void set_security_headers(HttpResponse* res) {
    res->set_header("Content-Security-Policy",
                    "default-src 'none'; style-src 'self'; img-src 'self' data:; form-action 'self'; "
                    "frame-ancestors 'none'; base-uri 'none'");
    res->set_header("X-Content-Type-Options", "nosniff");
    res->set_header("Referrer-Policy", "no-referrer");
}

// The path without the base path, and whether pages live there: with a base
// path the API answers both under it and at the root, the pages under it only.
std::string relative_path(const ServiceContext* ctx, const std::string& path, bool* pages) {
    *pages = true;
    if (ctx->base_path.empty()) return path;
    if (path.size() > ctx->base_path.size() && path.compare(0, ctx->base_path.size(), ctx->base_path) == 0 &&
        path[ctx->base_path.size()] == '/')
        return path.substr(ctx->base_path.size());
    *pages = false;
    return path;
}

}  // namespace

bool valid_result_id(const std::string& text) {
    if (text.empty() || text.size() > kMaxResultIdBytes) return false;
    for (const char c : text)
        if (!is_segment_char(c)) return false;
    return true;
}

bool is_api_path(const std::string& path) { return path.rfind("/api/", 0) == 0; }

bool valid_cpu_filter(const std::string& text) { return text.size() <= kMaxCpuFilterBytes && valid_utf8(text); }

int store_http_status(StoreStatus status) {
    switch (status) {
    case StoreStatus::ok: return 200;
    case StoreStatus::not_found: return 404;
    default: return 503;
    }
}

// A refusal in the form the path calls for: JSON errors for the API, plain text elsewhere.
void send_refusal(const ServiceContext* ctx, const std::string& path, int status, const char* message,
                  HttpResponse* res) {
    bool pages = true;
    res->status = status;
    if (is_api_path(relative_path(ctx, path, &pages)))
        res->set_content(nlohmann::json{{"errors", {message}}}.dump(), "application/json");
    else
        res->set_content(std::to_string(status) + " " + message + "\n", "text/plain; charset=utf-8");
    set_security_headers(res);
}

void route_request(ServiceContext* ctx, const HttpRequest& req, HttpResponse* res) {
    if (!ctx->base_path.empty() && req.path == ctx->base_path) {
        res->status = 308;
        res->set_header("Location", ctx->base_path + "/");
        set_security_headers(res);
        return;
    }
    bool pages = true;
    const std::string path = relative_path(ctx, req.path, &pages);
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    std::string allow, arg;
    for (const Route& route : kRoutes) {
        if ((!pages && !is_api_path(route.path)) || !match_path(route.path, path, &arg)) continue;
        if (method == route.method) {
            RouteCall call{ctx, req, *res, parse_params(req.query), arg, PageContext{ctx->base_path}};
            set_security_headers(res);
            route.handler(call);
            return;
        }
        allow += allow.empty() ? route.method : std::string(", ") + route.method;
    }
    if (allow.empty()) return send_refusal(ctx, req.path, 404, "not found", res);
    send_refusal(ctx, req.path, 405, "method not allowed", res);
    res->set_header("Allow", allow);
}
