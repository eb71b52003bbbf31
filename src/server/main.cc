// quillmoth-server: keeps, shows and compares the results that quillmoth uploads.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "server/service.h"
#include "server/store.h"

namespace {

std::string address_text(const ListenAddress& a, int port) {
    const bool v6 = a.host.find(':') != std::string::npos;
    return (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(port);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "quillmoth-server: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string error;
    if (!parse_server_options(argc, argv, &options, &error)) return fail(error);
    if (options.help) {
        std::fputs(kServerUsage, stdout);
        return 0;
    }

    // Signals are taken by sigwait below, never by a handler in some thread;
    // every thread started from here on inherits the mask.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // Every address is bound before the database is opened and anything is
    // served, so a failure leaves nothing half-started and no new file behind.
    std::vector<std::unique_ptr<httplib::Server>> servers;
    std::vector<int> ports;
    for (const ListenAddress& a : options.listen) {
        auto http = std::make_unique<httplib::Server>();
        prepare_http_server(http.get());
        errno = 0;
        int port = a.port;
        if (port == 0) {
            port = http->bind_to_any_port(a.host);
        } else if (!http->bind_to_port(a.host, port)) {
            port = -1;
        }
        if (port <= 0) {
            const int e = errno;
            return fail("cannot listen on " + address_text(a, a.port) + ": " +
                        (e != 0 ? std::strerror(e) : "address not usable"));
        }
        ports.push_back(port);
        servers.push_back(std::move(http));
    }

    std::unique_ptr<ResultStore> store = open_result_store(options.db, kWorkerThreads, &error);
    if (!store) return fail(error);

    ServiceContext ctx;
    ctx.store = store.get();
    ctx.access_log = stderr;
    RateLimiter limiter(options.upload_limit);
    ctx.limiter = options.upload_limit > 0 ? &limiter : nullptr;
    if (!init_service_context(&ctx, options, ports[0], &error)) return fail(error);
    for (auto& http : servers) configure_http_server(http.get(), &ctx);

    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (auto& http : servers) {
        httplib::Server* s = http.get();
        threads.emplace_back([s, &failed] {
            if (!s->listen_after_bind()) {
                failed = 1;
                kill(getpid(), SIGTERM);  // wakes the sigwait below
            }
        });
    }
    for (size_t i = 0; i < servers.size(); ++i)
        std::printf("quillmoth-server: listening on http://%s\n", address_text(options.listen[i], ports[i]).c_str());
    std::printf("quillmoth-server: results at %s, database %s\n", ctx.public_url.c_str(), options.db.c_str());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // Stop accepting; each server finishes the requests in flight before its thread returns.
    for (auto& http : servers) http->stop();
    for (auto& t : threads) t.join();
    servers.clear();
    store.reset();  // closes the database cleanly, WAL checkpointed
    if (failed) return fail("a listener stopped unexpectedly");
    std::fprintf(stderr, "quillmoth-server: stopped\n");
    return 0;
}
