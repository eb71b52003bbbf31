#include "server/http/core.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "server/http/client_address.h"
#include "server/http/params.h"

namespace {

// The connection's own memory: the request head is read into it, so its size
// bounds what is read of a head (libmicrohttpd answers 431 past it); the
// margin holds the parsed fields and the head of the answer, so that a head
// just under the limit still gets its 431 from the check on arrival.
constexpr size_t kConnectionMemory = kMaxHeadBytes + 4096;

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

enum Phase { kHead, kBody };

// One connection (libmicrohttpd's socket context).
struct Conn {
    int fd = -1;
    std::string peer, key;
    Phase phase = kHead;
    double since = 0;      // start of the phase
    std::string raw_uri;   // the current request's target, as sent
    bool shut = false;
};

// One request (libmicrohttpd's per-request context).
struct Exchange {
    HttpRequest req;
    HttpResponse res;
    int refusal = 0;  // a status to answer once the body is read and dropped
    bool dropping = false;
    enum { reading, answering, answered } state = reading;
};

struct Job {
    MHD_Connection* connection;
    Exchange* exchange;
};

}  // namespace

struct HttpCore {
    int listen_fd = -1;
    MHD_Daemon* daemon = nullptr;
    const HttpHandlers* handlers = nullptr;
    HttpLimits limits;
    std::mutex mutex;
    std::unordered_set<Conn*> conns;
    std::unordered_map<std::string, int> per_key;
    int busy = 0;  // requests between head and answer
    std::atomic<bool> stopping{false};
    std::condition_variable wake;
    bool sweeper_stop = false;
    std::thread sweeper;
    // Whole requests waiting for a worker, their connections suspended.
    std::mutex jobs_mutex;
    std::condition_variable jobs_ready;
    std::deque<Job> jobs;
    bool workers_stop = false;
    std::vector<std::thread> workers;
};

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Closes a connection from outside its worker: the worker sees the end and
// frees it. Called with the core's mutex held, so the socket is still the
// connection's own.
void shut(Conn* c) {
    if (c->shut || c->fd < 0) return;
    c->shut = true;
    shutdown(c->fd, SHUT_RDWR);
}

// Deadlines for the whole head and the whole body, which libmicrohttpd's idle
// time-out alone does not give: a client that trickles a byte a second never
// goes idle.
void sweep(HttpCore* core) {
    std::unique_lock<std::mutex> lock(core->mutex);
    while (!core->sweeper_stop) {
        core->wake.wait_for(lock, std::chrono::milliseconds(250));
        const double now = now_seconds();
        for (Conn* c : core->conns) {
            const double limit = c->phase == kHead ? (core->stopping ? 0 : core->limits.head_seconds)
                                                 : core->limits.body_seconds;
            if (now - c->since > limit) shut(c);
        }
    }
}

MHD_Result on_accept(void* cls, const sockaddr* address, socklen_t) {
    HttpCore* core = static_cast<HttpCore*>(cls);
    if (core->stopping) return MHD_NO;
    const std::string peer = numeric_address(address);
    if (core->handlers->uncapped && core->handlers->uncapped(peer)) return MHD_YES;
    std::lock_guard<std::mutex> lock(core->mutex);
    const auto it = core->per_key.find(limit_key(peer));
    return it != core->per_key.end() && it->second >= core->limits.per_address ? MHD_NO : MHD_YES;
}

void on_connection(void* cls, MHD_Connection* connection, void** socket_context, MHD_ConnectionNotificationCode code) {
    HttpCore* core = static_cast<HttpCore*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        Conn* c = new Conn;
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* who = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        c->fd = fd != nullptr ? fd->connect_fd : -1;
        c->peer = who != nullptr ? numeric_address(who->client_addr) : std::string();
        c->key = limit_key(c->peer);
        c->since = now_seconds();
        *socket_context = c;
        std::lock_guard<std::mutex> lock(core->mutex);
        core->conns.insert(c);
        ++core->per_key[c->key];
        return;
    }
    Conn* c = static_cast<Conn*>(*socket_context);
    if (c == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->conns.erase(c);
        const auto it = core->per_key.find(c->key);
        if (it != core->per_key.end() && --it->second <= 0) core->per_key.erase(it);
        if (c->phase == kBody) --core->busy;
    }
    *socket_context = nullptr;
    delete c;
    core->wake.notify_all();
}

Conn* conn_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Conn*>(info->socket_context) : nullptr;
}

void* on_uri(void*, const char* uri, MHD_Connection* connection) {
    if (Conn* c = conn_of(connection)) c->raw_uri = uri != nullptr ? uri : "";
    return nullptr;
}

void set_phase(HttpCore* core, Conn* c, Phase phase) {
    std::lock_guard<std::mutex> lock(core->mutex);
    if (c->phase != phase) core->busy += phase == kBody ? 1 : -1;
    c->phase = phase;
    c->since = now_seconds();
}

void on_completed(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*con_cls);
    *con_cls = nullptr;
    HttpCore* core = static_cast<HttpCore*>(cls);
    if (Conn* c = conn_of(connection)) set_phase(core, c, kHead);
    core->wake.notify_all();
}

MHD_Result collect_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<std::vector<std::pair<std::string, std::string>>*>(cls)->emplace_back(key, value ? value : "");
    return MHD_YES;
}

// A streamed body: pieces made on demand, so memory holds one piece at a time.
struct Stream {
    std::function<int(std::string*)> next;
    std::string piece;
    size_t sent = 0;
    int state = 1;  // what next last returned
};

ssize_t read_stream(void* cls, uint64_t, char* buf, size_t max) {
    Stream* s = static_cast<Stream*>(cls);
    while (s->sent == s->piece.size()) {
        if (s->state <= 0) return s->state == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
        s->piece.clear();
        s->sent = 0;
        s->state = s->next(&s->piece);
    }
    const size_t n = std::min(max, s->piece.size() - s->sent);
    std::memcpy(buf, s->piece.data() + s->sent, n);
    s->sent += n;
    return static_cast<ssize_t>(n);
}

MHD_Result send(HttpCore* core, MHD_Connection* connection, const HttpRequest& req, HttpResponse& res) {
    MHD_Response* response =
        res.stream ? MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, read_stream,
                                                       new Stream{std::move(res.stream), {}, 0, 1},
                                                       [](void* cls) { delete static_cast<Stream*>(cls); })
                   : MHD_create_response_from_buffer(res.body.size(), const_cast<char*>(res.body.data()),
                                                     MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (!res.content_type.empty()) MHD_add_response_header(response, "Content-Type", res.content_type.c_str());
    for (const auto& [name, value] : res.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (res.close || core->stopping) MHD_add_response_header(response, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), response);
    MHD_destroy_response(response);
    if (core->handlers->log) core->handlers->log(req, res);
    return queued;
}

MHD_Result refuse(HttpCore* core, MHD_Connection* connection, const HttpRequest& req, int status,
                  const char* message, bool close) {
    HttpResponse res;
    core->handlers->refuse(req, status, message, &res);
    res.status = status;
    res.close = res.close || close;
    return send(core, connection, req, res);
}

// The request target: origin form "/path?query", or absolute form
// "http://host/path?query" as a proxy may send it.
void split_target(const std::string& target, HttpRequest* req) {
    std::string rest = target;
    for (const char* scheme : {"http://", "https://"}) {
        if (lower(rest.substr(0, std::strlen(scheme))) == scheme) {
            const size_t slash = rest.find('/', std::strlen(scheme));
            rest = slash == std::string::npos ? "/" : rest.substr(slash);
            break;
        }
    }
    const size_t q = rest.find('?');
    req->path = percent_decode(rest.substr(0, q));
    req->query = q == std::string::npos ? std::string() : rest.substr(q + 1);
}

// Checks what the head says about the body. Returns 0 to go on, or a status
// to answer; *close when the body cannot be skipped.
int check_body_headers(const HttpRequest& req, Exchange* ex, const char** message, bool* close) {
    int lengths = 0, encodings = 0;
    std::string length;
    const std::string* coding = nullptr;
    for (const auto& [name, value] : req.headers) {
        const std::string n = lower(name);
        if (n == "content-length") ++lengths, length = value;
        if (n == "transfer-encoding") ++encodings;
        if (n == "content-encoding") coding = &value;
    }
    *close = true;
    // Two lengths, or a length beside chunking, would let a proxy in front and
    // this server disagree on where the next request starts.
    if (lengths > 1 || (lengths == 1 && encodings > 0)) return *message = "conflicting Content-Length", 400;
    if (encodings > 0) return *message = "a request body needs a Content-Length", 411;
    if (coding != nullptr && lower(*coding) != "identity")
        return *message = "compressed request bodies are not accepted", 415;
    const bool has_body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (lengths == 0) return has_body ? (*message = "a request body needs a Content-Length", 411) : 0;
    int64_t bytes = 0;
    if (!parse_whole_number(length, 0, INT64_C(999999999999999999), &bytes)) return *message = "bad Content-Length", 400;
    if (static_cast<uint64_t>(bytes) > kDiscardableBytes) return *message = "the body exceeds 131072 bytes", 413;
    if (static_cast<uint64_t>(bytes) > kMaxBodyBytes) ex->refusal = 413, ex->dropping = true;
    *close = false;
    return 0;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                      const char* upload, size_t* upload_size, void** con_cls) {
    HttpCore* core = static_cast<HttpCore*>(cls);
    Exchange* ex = static_cast<Exchange*>(*con_cls);
    if (ex == nullptr) {
        // The head is complete.
        ex = new Exchange;
        *con_cls = ex;
        Conn* c = conn_of(connection);
        HttpRequest& req = ex->req;
        req.method = method;
        split_target(c != nullptr && !c->raw_uri.empty() ? c->raw_uri : url, &req);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &req.headers);
        req.peer = c != nullptr ? c->peer : std::string();
        req.client = core->handlers->client_of ? core->handlers->client_of(req) : req.peer;
        if (c != nullptr) set_phase(core, c, kBody);
        size_t head_bytes = req.method.size() + (c != nullptr ? c->raw_uri.size() : 0) + 12;
        for (const auto& [name, value] : req.headers) head_bytes += name.size() + value.size() + 4;
        if (req.headers.size() > static_cast<size_t>(kMaxHeaderFields) || head_bytes > kMaxHeadBytes)
            return refuse(core, connection, req, 431, "the request head exceeds 16384 bytes or 100 fields", true);
        const char* message = nullptr;
        bool close = false;
        if (const int status = check_body_headers(req, ex, &message, &close))
            return refuse(core, connection, req, status, message, close);
        return MHD_YES;
    }
    if (*upload_size > 0) {
        if (ex->req.body.size() + *upload_size > kMaxBodyBytes) ex->refusal = 413, ex->dropping = true;
        if (!ex->dropping) ex->req.body.append(upload, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    if (ex->refusal != 0) return refuse(core, connection, ex->req, ex->refusal, "request body exceeds 131072 bytes", false);
    if (ex->state == Exchange::answered) return send(core, connection, ex->req, ex->res);
    if (ex->state == Exchange::reading) {
        // The answer may wait on the store: a worker gives it, and this
        // thread goes on with other connections meanwhile.
        ex->state = Exchange::answering;
        MHD_suspend_connection(connection);
        {
            std::lock_guard<std::mutex> lock(core->jobs_mutex);
            core->jobs.push_back(Job{connection, ex});
        }
        core->jobs_ready.notify_one();
    }
    return MHD_YES;
}

void work(HttpCore* core) {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(core->jobs_mutex);
            core->jobs_ready.wait(lock, [core] { return core->workers_stop || !core->jobs.empty(); });
            if (core->jobs.empty()) return;  // stopping, and every job done
            job = core->jobs.front();
            core->jobs.pop_front();
        }
        core->handlers->handle(job.exchange->req, &job.exchange->res);
        job.exchange->state = Exchange::answered;
        // The last touch: once resumed, the connection may finish and free the exchange.
        MHD_resume_connection(job.connection);
    }
}

// Descriptors for connections: all the process may have, less a margin for
// the database and the logs, shared between the listening addresses.
unsigned connection_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 512;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t usable = limit.rlim_cur > 256 ? (limit.rlim_cur - 128) / 2 : 64;
    return static_cast<unsigned>(usable > 100000 ? 100000 : usable);
}

}  // namespace

HttpCorePtr http_bind(const ListenAddress& address, int* port, std::string* error) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(address.port);
    const int rc = getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return nullptr;
    }
    int fd = -1, saved = 0;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        // No SO_REUSEPORT: a second server on a port in use must fail, not share it.
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 1024) != 0) {
            saved = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = std::strerror(saved != 0 ? saved : EADDRNOTAVAIL);
        return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    HttpCorePtr core(new HttpCore);
    core->listen_fd = fd;
    return core;
}

int http_start(HttpCore* core, const HttpHandlers* handlers, std::string* error, const HttpLimits& limits) {
    core->handlers = handlers;
    core->limits = limits;
    const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME;
    core->daemon = MHD_start_daemon(
        flags, 0, on_accept, core, on_request, core, MHD_OPTION_LISTEN_SOCKET, core->listen_fd,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(kIoThreads), MHD_OPTION_CONNECTION_LIMIT,
        connection_limit(), MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_seconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION, on_connection, core,
        MHD_OPTION_NOTIFY_COMPLETED, on_completed, core, MHD_OPTION_URI_LOG_CALLBACK, on_uri, core,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
    if (core->daemon == nullptr) {
        *error = "the HTTP server did not start";
        return 0;
    }
    core->sweeper = std::thread(sweep, core);
    for (int i = 0; i < kWorkerThreads; ++i) core->workers.emplace_back(work, core);
    return 1;
}

void http_stop_all(HttpCore* const* cores, size_t count, double grace_seconds) {
    for (size_t i = 0; i < count; ++i) {
        HttpCore* core = cores[i];
        if (core->daemon == nullptr) continue;
        core->stopping = true;
        const MHD_socket fd = MHD_quiesce_daemon(core->daemon);
        if (fd != MHD_INVALID_SOCKET && fd == core->listen_fd) {
            close(fd);
            core->listen_fd = -1;
        }
        core->wake.notify_all();  // the sweeper closes idle connections now
    }
    const double deadline = now_seconds() + grace_seconds;
    for (size_t i = 0; i < count; ++i) {
        HttpCore* core = cores[i];
        if (core->daemon == nullptr) continue;
        std::unique_lock<std::mutex> lock(core->mutex);
        while (core->busy > 0 && now_seconds() < deadline) core->wake.wait_for(lock, std::chrono::milliseconds(50));
        for (Conn* c : core->conns) shut(c);
    }
    for (size_t i = 0; i < count; ++i) {
        HttpCore* core = cores[i];
        if (core->daemon == nullptr) continue;
        // Every suspended connection must be resumed before the daemon stops:
        // the workers finish what is queued, then go.
        {
            std::lock_guard<std::mutex> lock(core->jobs_mutex);
            core->workers_stop = true;
        }
        core->jobs_ready.notify_all();
        for (auto& w : core->workers) w.join();
        core->workers.clear();
        MHD_stop_daemon(core->daemon);
        core->daemon = nullptr;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            core->sweeper_stop = true;
        }
        core->wake.notify_all();
        core->sweeper.join();
    }
}

void http_stop(HttpCore* core, double grace_seconds) { http_stop_all(&core, 1, grace_seconds); }

void http_free(HttpCore* core) {
    if (core == nullptr) return;
    http_stop(core, 0);
    if (core->listen_fd >= 0) close(core->listen_fd);
    delete core;
}
