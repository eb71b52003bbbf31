// The HTTP core: GNU libmicrohttpd, event-driven: a few threads per
// listening address do all the reading and writing, and a request, once
// whole, is answered by a pool of workers while its connection waits
// suspended. A slow or idle client costs a socket and a few KiB, never a
// thread; every limit below is a named constant.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "server/config/options.h"
#include "server/http/message.h"

constexpr size_t kMaxBodyBytes = 131072;
// Bodies past the upload limit and up to this are read and dropped, so that
// the client gets its 413 on a clean connection; longer ones are refused from
// the head alone and the connection closed.
constexpr size_t kDiscardableBytes = 1 << 20;
// One thread reads and writes: with more, every new connection woke them
// all to race for it, which on a busy machine cost more than it gave.
constexpr int kIoThreads = 1;              // per listening address: reading and writing
constexpr int kWorkerThreads = 16;         // per listening address: answering (store calls)
constexpr int kHeadSeconds = 10;           // the whole request head
constexpr int kBodySeconds = 30;           // the whole body and the answer
constexpr int kIdleSeconds = 5;            // silence on any connection
constexpr size_t kMaxHeadBytes = 16384;    // request line and header fields
constexpr int kMaxHeaderFields = 100;
constexpr int kMaxConnectionsPerAddress = 32;  // per client address (IPv6: per /64)
constexpr int kShutdownGraceSeconds = 5;

// The limits of one server; the defaults are the constants above. Tests
// shorten the time-outs to see them act in a second.
struct HttpLimits {
    double head_seconds = kHeadSeconds;
    double body_seconds = kBodySeconds;
    unsigned idle_seconds = kIdleSeconds;
    int per_address = kMaxConnectionsPerAddress;
};

struct HttpHandlers {
    // Answers one complete request (runs on a worker thread).
    std::function<void(const HttpRequest&, HttpResponse*)> handle;
    // Shapes a refusal made by the core itself (413, 411, 400, 431...).
    std::function<void(const HttpRequest&, int status, const char* message, HttpResponse*)> refuse;
    // After each answer: the access log.
    std::function<void(const HttpRequest&, const HttpResponse&)> log;
    // The client address of a connection (trusted proxies); null: the peer.
    std::function<std::string(const HttpRequest&)> client_of;
    // Whether connections from this peer skip the per-address cap (a trusted proxy).
    std::function<bool(const std::string& peer)> uncapped;
};

struct HttpCore;
void http_free(HttpCore* core);
struct HttpCoreDeleter {
    void operator()(HttpCore* core) const { http_free(core); }
};
using HttpCorePtr = std::unique_ptr<HttpCore, HttpCoreDeleter>;

// Binds one listening socket; null with *error (errno's text) on failure.
// The port actually bound goes to *port.
HttpCorePtr http_bind(const ListenAddress& address, int* port, std::string* error);
// Starts serving; 0 with *error when the server could not start.
int http_start(HttpCore* core, const HttpHandlers* handlers, std::string* error,
               const HttpLimits& limits = HttpLimits());
// Stops accepting at once, lets requests already under way finish for up to
// grace_seconds, closes the rest. Returns when no handler runs any more.
void http_stop(HttpCore* core, double grace_seconds);
// Stops several at once, sharing one grace period.
void http_stop_all(HttpCore* const* cores, size_t count, double grace_seconds);
