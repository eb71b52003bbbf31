// quillmoth-server: keeps, shows and compares the results that quillmoth uploads.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "server/pg_store.h"
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
        std::fputs(kServerUsage.c_str(), stdout);
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
    std::vector<HttpCorePtr> servers;
    std::vector<int> ports;
    for (const ListenAddress& a : options.listen) {
        int port = 0;
        HttpCorePtr http = http_bind(a, &port, &error);
        if (!http) return fail("cannot listen on " + address_text(a, a.port) + ": " + error);
        ports.push_back(port);
        servers.push_back(std::move(http));
    }

    std::unique_ptr<ResultStore> store =
        open_result_store(options.db, kWorkerThreads * static_cast<int>(servers.size()), &error);
    if (!store) return fail(error);

    ServiceContext ctx;
    ctx.store = store.get();
    ctx.access_log = stderr;
    RateLimiter limiter(options.upload_limit);
    ctx.limiter = options.upload_limit > 0 ? &limiter : nullptr;
    if (!init_service_context(&ctx, options, ports[0], &error)) return fail(error);
    const HttpHandlers handlers = service_handlers(&ctx);
    for (auto& http : servers)
        if (!http_start(http.get(), &handlers, &error)) return fail(error);
    for (size_t i = 0; i < servers.size(); ++i)
        std::printf("quillmoth-server: listening on http://%s\n", address_text(options.listen[i], ports[i]).c_str());
    std::printf("quillmoth-server: results at %s, database %s\n", ctx.public_url.c_str(),
                redact_db_uri(options.db).c_str());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // Stop accepting at once; requests under way get a few seconds to finish,
    // and every upload acknowledged by then was committed before its answer.
    std::vector<HttpCore*> cores;
    for (auto& http : servers) cores.push_back(http.get());
    http_stop_all(cores.data(), cores.size(), kShutdownGraceSeconds);
    servers.clear();
    store.reset();  // closes the database cleanly, WAL checkpointed
    std::fprintf(stderr, "quillmoth-server: stopped\n");
    return 0;
}
