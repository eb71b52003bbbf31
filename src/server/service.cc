#include "server/service.h"

#include <httplib.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>
#include <time.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "server/ids.h"
#include "server/pages.h"
#include "server/validate.h"

using nlohmann::json;

const char kServerUsage[] =
    "usage: quillmoth-server [--listen HOST:PORT]... [--db PATH] [--public-url URL] [--unlisted]\n"
    "                        [--upload-limit N] [-h|--help]\n"
    "  --listen HOST:PORT   address to serve on, repeatable; IPv6 as [::1]:8080\n"
    "                       (default 127.0.0.1:8080 and [::1]:8080)\n"
    "  --db PATH            SQLite database file, created if missing (default quillmoth-results.db)\n"
    "  --public-url URL     base of the links handed out (default http://localhost:PORT)\n"
    "  --unlisted           new results are reachable by link only\n"
    "  --upload-limit N     uploads per minute per client address, 0 for none (default 60)\n"
    "  -h, --help           show this help\n";

namespace {

// Bodies beyond this are refused from the header alone, without reading them;
// between the upload limit and this, the server reads and discards them so
// that the client still gets its 413 on a clean connection.
constexpr uint64_t kDiscardableBytes = 1 << 20;
constexpr int kListDefault = 20;
constexpr int kListMax = 100;

int parse_int(const std::string& text, long min, long max, long* out) {
    if (text.empty() || text.size() > 10) return 0;
    for (char c : text)
        if (c < '0' || c > '9') return 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < min || value > max) return 0;
    *out = value;
    return 1;
}

int parse_listen(const std::string& text, ListenAddress* out) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return 0;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return 0;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return 0;  // IPv6 needs brackets
    }
    long value = 0;
    if (host.empty() || host.size() > 255 || !parse_int(port, 0, 65535, &value)) return 0;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '%' || c == '_'))
            return 0;
    out->host = host;
    out->port = static_cast<int>(value);
    return 1;
}

std::string json_errors(const std::vector<std::string>& errors) {
    return json{{"errors", errors}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

void send_json(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json");
}

void send_errors(httplib::Response& res, int status, const std::string& message) {
    send_json(res, status, json_errors({message}));
}

bool is_api_path(const ServiceContext* ctx, const std::string& path) {
    return path.rfind("/api/", 0) == 0 || (!ctx->base_path.empty() && path.rfind(ctx->base_path + "/api/", 0) == 0);
}

void handle_submission(ServiceContext* ctx, const httplib::Request& req, httplib::Response& res) {
    if (ctx->limiter != nullptr && !ctx->limiter->allow(req.remote_addr, ctx->steady())) {
        res.set_header("Retry-After", "60");
        send_errors(res, 429, "too many uploads: the limit per minute for one address is reached");
        return;
    }
    StoredResult result;
    std::vector<std::string> errors;
    if (!validate_document(req.body, &result.summary, &errors)) {
        send_json(res, 422, json_errors(errors));
        return;
    }
    const std::string code = new_claim_code();
    result.summary.id = new_result_id();
    if (code.empty() || result.summary.id.empty()) {
        send_errors(res, 503, "no randomness available: try again later");
        return;
    }
    result.summary.uploaded_at = ctx->now();
    result.summary.listed = ctx->unlisted ? 0 : 1;
    result.document = req.body;
    unsigned char hash[32];
    hash_claim_code(code, hash);
    if (ctx->store->insert(result, hash) != StoreStatus::ok) {
        send_errors(res, 503, "the result could not be stored: try again later");
        return;
    }
    const nlohmann::ordered_json reply = {{"id", result.summary.id},
                        {"result_url", ctx->public_url + "/results/" + result.summary.id},
                        {"claim_url", ctx->public_url + "/claim/" + code}};
    send_json(res, 201, reply.dump());
}

void handle_get_result(ServiceContext* ctx, const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    StoredResult result;
    const StoreStatus status = looks_like_result_id(id) ? ctx->store->get(id, &result) : StoreStatus::not_found;
    if (status == StoreStatus::not_found) return send_errors(res, 404, "no such result");
    if (status != StoreStatus::ok) return send_errors(res, 503, "the results store is unavailable");
    send_json(res, 200, result.document);
}

json summary_json(const ServiceContext* ctx, const ResultSummary& s) {
    static const char* const suites[2] = {"raw", "real"};
    json figures;
    for (int suite = 0; suite < 2; ++suite) {
        std::vector<double> multi(s.figures[suite][kPassMulti], s.figures[suite][kPassMulti] + kTestCount);
        std::vector<double> single(s.figures[suite][kPassSingle], s.figures[suite][kPassSingle] + kTestCount);
        figures[suites[suite]] = {{"multicore", multi}, {"singlecore", single}};
    }
    return {{"id", s.id},
            {"uploaded_at", s.uploaded_at},
            {"cpu", s.cpu},
            {"model", s.model},
            {"cpu_cores", s.cores},
            {"cpu_threads", s.threads},
            {"operating_system", s.operating_system},
            {"compiler", s.compiler},
            {"label", s.label},
            {"result_url", ctx->public_url + "/results/" + s.id},
            {"figures", figures}};
}

void handle_list(ServiceContext* ctx, const httplib::Request& req, httplib::Response& res) {
    ListQuery query;
    long value = kListDefault;
    if (req.has_param("limit") && !parse_int(req.get_param_value("limit"), 1, kListMax, &value))
        return send_errors(res, 400, "limit must be a whole number from 1 to 100");
    query.limit = static_cast<int>(value);
    value = 0;
    if (req.has_param("offset") && !parse_int(req.get_param_value("offset"), 0, 1000000000, &value))
        return send_errors(res, 400, "offset must be a whole number from 0 to 1000000000");
    query.offset = value;
    query.cpu_contains = req.get_param_value("cpu");
    if (query.cpu_contains.size() > 255) return send_errors(res, 400, "cpu filter longer than 255 bytes");

    std::vector<ResultSummary> rows;
    int64_t total = 0;
    if (ctx->store->list(query, &rows, &total) != StoreStatus::ok)
        return send_errors(res, 503, "the results store is unavailable");
    json list = json::array();
    for (const ResultSummary& row : rows) list.push_back(summary_json(ctx, row));
    const json body = {{"total", total}, {"offset", query.offset}, {"limit", query.limit}, {"results", list}};
    send_json(res, 200, body.dump(-1, ' ', false, json::error_handler_t::replace));
}

// A request refused from its header alone leaves its body unread, and the
// HTTP library would go on to parse that body as the next request. The
// refusal therefore ends the connection: the worker that answers finds its
// own socket by the connection's addresses, and once the answer is written
// (in the logger, which runs after the write) shuts the socket down, after
// draining a bounded amount so that the client is not reset before it can
// read the answer.
thread_local int t_refused_socket = -1;

std::string numeric_host(const sockaddr_storage& address, socklen_t size, int* port) {
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return std::string();
    *port = std::atoi(service);
    return host;
}

int find_connection_socket(const httplib::Request& req) {
    for (int fd = 0; fd < 65536 && fd < getdtablesize(); ++fd) {
        sockaddr_storage local, remote;
        socklen_t local_size = sizeof local, remote_size = sizeof remote;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remote_size) != 0)
            continue;
        int local_port = -1, remote_port = -1;
        if (numeric_host(remote, remote_size, &remote_port) == req.remote_addr && remote_port == req.remote_port &&
            numeric_host(local, local_size, &local_port) == req.local_addr && local_port == req.local_port)
            return fd;
    }
    return -1;
}

void refuse_connection(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Connection", "close");
    t_refused_socket = find_connection_socket(req);
}

void close_refused_connection() {
    const int fd = t_refused_socket;
    t_refused_socket = -1;
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    char sink[16384];
    size_t drained = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (drained < (256u << 10) && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    // The library's next read sees the end and closes the socket itself.
    shutdown(fd, SHUT_RD);
}

// Refuses what would otherwise be read without bound: bodies announced as
// huge, bodies without a length, and compressed bodies.
httplib::Server::HandlerResponse check_request_body(const httplib::Request& req, httplib::Response& res) {
    if (req.has_header("Transfer-Encoding")) {
        send_errors(res, 411, "a request body needs a Content-Length");
        refuse_connection(req, res);
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Content-Encoding") && req.get_header_value("Content-Encoding") != "identity") {
        send_errors(res, 415, "compressed request bodies are not accepted");
        refuse_connection(req, res);
        return httplib::Server::HandlerResponse::Handled;
    }
    const bool has_body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (!req.has_header("Content-Length")) {
        if (!has_body) return httplib::Server::HandlerResponse::Unhandled;
        send_errors(res, 411, "a request body needs a Content-Length");
        refuse_connection(req, res);
        return httplib::Server::HandlerResponse::Handled;
    }
    const std::string length = req.get_header_value("Content-Length");
    bool digits = !length.empty() && length.size() <= 19;
    for (char c : length) digits = digits && c >= '0' && c <= '9';
    if (!digits || std::strtoull(length.c_str(), nullptr, 10) > kDiscardableBytes) {
        send_errors(res, digits ? 413 : 400, digits ? "the body exceeds 131072 bytes" : "bad Content-Length");
        refuse_connection(req, res);
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void set_listen_socket_options(int sock) {
    // No SO_REUSEPORT: a second server on a port in use must fail, not share it.
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int domain = 0;
    socklen_t size = sizeof domain;
    if (getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_INET6)
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
}

void write_access_log(FILE* log, const httplib::Request& req, const httplib::Response& res) {
    char when[32];
    const time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const std::string path = loggable_path(req.path);
    const std::string method = loggable_path(req.method);
    // One call per line, so that lines of concurrent requests never mix.
    char line[1024];
    std::snprintf(line, sizeof line, "%s %.64s \"%.16s %.800s\" %d %zu\n", when, req.remote_addr.c_str(),
                  method.c_str(), path.c_str(), res.status, res.body.size());
    std::fputs(line, log);
}

}  // namespace

int parse_server_options(int argc, const char* const* argv, ServerOptions* options, std::string* error) {
    *options = ServerOptions();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--listen" || arg == "--db" || arg == "--public-url" || arg == "--upload-limit";
        if (takes_value && i + 1 >= argc) {
            *error = "option " + arg + " needs a value";
            return 0;
        }
        if (arg == "-h" || arg == "--help") {
            options->help = 1;
        } else if (arg == "--unlisted") {
            options->unlisted = 1;
        } else if (arg == "--listen") {
            ListenAddress address;
            if (!parse_listen(argv[++i], &address)) {
                *error = std::string("bad --listen address '") + argv[i] + "': expected HOST:PORT or [IPV6]:PORT";
                return 0;
            }
            options->listen.push_back(address);
        } else if (arg == "--db") {
            options->db = argv[++i];
            if (options->db.empty()) {
                *error = "--db needs a non-empty path";
                return 0;
            }
        } else if (arg == "--public-url") {
            options->public_url = argv[++i];
            std::string base, path;
            if (!parse_public_url(options->public_url, &base, &path, error)) return 0;
        } else if (arg == "--upload-limit") {
            long value = 0;
            if (!parse_int(argv[++i], 0, 1000000, &value)) {
                *error = std::string("bad --upload-limit '") + argv[i] + "': expected a whole number from 0 to 1000000";
                return 0;
            }
            options->upload_limit = static_cast<int>(value);
        } else {
            *error = "unknown option '" + arg + "' (try --help)";
            return 0;
        }
    }
    if (options->listen.empty()) options->listen = {{"127.0.0.1", 8080}, {"::1", 8080}};
    return 1;
}

int parse_public_url(const std::string& url, std::string* base, std::string* path, std::string* error) {
    const char* rest = nullptr;
    if (url.rfind("http://", 0) == 0) rest = url.c_str() + 7;
    if (url.rfind("https://", 0) == 0) rest = url.c_str() + 8;
    *error = "bad --public-url '" + url + "': expected http[s]://HOST[:PORT][/PATH]";
    if (rest == nullptr || url.size() > 400) return 0;
    const std::string tail = rest;
    const size_t slash = tail.find('/');
    const std::string authority = tail.substr(0, slash);
    std::string p = slash == std::string::npos ? "" : tail.substr(slash);
    if (authority.empty()) return 0;
    for (char c : authority)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return 0;
    // The path becomes part of route patterns: letters, digits and a few
    // marks only, so that it never means anything to a regular expression.
    for (char c : p)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '_' || c == '~')) return 0;
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (p.find("//") != std::string::npos) return 0;
    *base = url.substr(0, url.size() - tail.size()) + authority + p;
    *path = p;
    error->clear();
    return 1;
}

bool RateLimiter::allow(const std::string& address, double now) {
    if (per_minute_ <= 0) return true;
    const double capacity = per_minute_;
    const double per_second = per_minute_ / 60.0;
    std::lock_guard<std::mutex> lock(mutex_);
    // Full buckets carry no information: drop them before the table grows large.
    if (buckets_.size() > 100000) {
        for (auto it = buckets_.begin(); it != buckets_.end();) {
            if (it->second.tokens + (now - it->second.updated) * per_second >= capacity)
                it = buckets_.erase(it);
            else
                ++it;
        }
    }
    auto it = buckets_.find(address);
    if (it == buckets_.end()) it = buckets_.emplace(address, Bucket{capacity, now}).first;
    Bucket& b = it->second;
    if (now > b.updated) {
        b.tokens = std::min(capacity, b.tokens + (now - b.updated) * per_second);
        b.updated = now;
    }
    if (b.tokens < 1.0) return false;
    b.tokens -= 1.0;
    return true;
}

int init_service_context(ServiceContext* ctx, const ServerOptions& options, int first_port, std::string* error) {
    const std::string url =
        options.public_url.empty() ? "http://localhost:" + std::to_string(first_port) : options.public_url;
    if (!parse_public_url(url, &ctx->public_url, &ctx->base_path, error)) return 0;
    ctx->unlisted = options.unlisted;
    if (!ctx->now) ctx->now = [] { return static_cast<int64_t>(time(nullptr)); };
    if (!ctx->steady)
        ctx->steady = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    return 1;
}

std::string loggable_path(const std::string& path) {
    std::string out;
    const size_t claim = path.find("/claim/");
    const size_t end = claim == std::string::npos ? path.size() : claim + 7;
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x21 || c > 0x7e || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (claim != std::string::npos) out += "[code]";
    return out;
}

void prepare_http_server(httplib::Server* http) {
    http->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    http->set_socket_options(set_listen_socket_options);
    http->set_tcp_nodelay(true);
    http->set_payload_max_length(kMaxBodyBytes);
    http->set_read_timeout(5, 0);
    http->set_write_timeout(5, 0);
    http->set_keep_alive_timeout(2);
    http->set_keep_alive_max_count(100);
}

void configure_http_server(httplib::Server* http, ServiceContext* ctx) {
    prepare_http_server(http);
    http->set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; style-src 'self'; img-src 'self' data:; form-action 'self'; "
         "frame-ancestors 'none'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    });
    http->set_pre_routing_handler(check_request_body);
    http->set_error_handler([ctx](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        const char* message = res.status == 404 ? "not found" : res.status == 413 ? "request body exceeds 131072 bytes" : "bad request";
        if (is_api_path(ctx, req.path))
            send_json(res, res.status, json_errors({message}));
        else
            res.set_content(std::to_string(res.status) + " " + message + "\n", "text/plain; charset=utf-8");
    });
    FILE* log = ctx->access_log;
    http->set_logger([log](const httplib::Request& req, const httplib::Response& res) {
        if (log != nullptr) write_access_log(log, req, res);
        close_refused_connection();
    });

    const auto submit = [ctx](const httplib::Request& req, httplib::Response& res) {
        handle_submission(ctx, req, res);
    };
    const auto get_result = [ctx](const httplib::Request& req, httplib::Response& res) {
        handle_get_result(ctx, req, res);
    };
    const auto list = [ctx](const httplib::Request& req, httplib::Response& res) { handle_list(ctx, req, res); };
    const auto not_allowed = [](const char* allow) {
        return [allow](const httplib::Request&, httplib::Response& res) {
            res.set_header("Allow", allow);
            send_errors(res, 405, "method not allowed");
        };
    };
    // The API answers at the root and, with a public URL that has a path, under that path too.
    std::vector<std::string> prefixes = {""};
    if (!ctx->base_path.empty()) prefixes.push_back(ctx->base_path);
    for (const std::string& p : prefixes) {
        const std::string submissions = p + "/api/v1/submissions";
        const std::string one = p + "/api/v1/results/([^/]+)";
        const std::string all = p + "/api/v1/results";
        http->Post(submissions, submit);
        http->Get(one, get_result);
        http->Get(all, list);
        for (const std::string& path : {submissions}) {
            http->Get(path, not_allowed("POST"));
            http->Put(path, not_allowed("POST"));
            http->Delete(path, not_allowed("POST"));
            http->Patch(path, not_allowed("POST"));
        }
        for (const std::string& path : {one, all}) {
            http->Post(path, not_allowed("GET"));
            http->Put(path, not_allowed("GET"));
            http->Delete(path, not_allowed("GET"));
            http->Patch(path, not_allowed("GET"));
        }
    }
    PageContext pages;
    pages.base_path = ctx->base_path;
    add_page_routes(http, ctx->store, pages);
}
