// Hostile clients against the in-process server, on loopback: attackers
// connect from 127.0.0.2 and up, the measured client from 127.0.0.1. The
// time-outs are shortened to a second or two so that each case is over in
// seconds; the same code runs with the real ones.
#include "server/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether the server has closed fd (without waiting).
bool closed_by_server(int fd) {
    char c;
    const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// One whole request from 127.0.0.1 on its own connection: the answer.
std::string exchange(int port, const std::string& request, double seconds = 4) {
    const int fd = connect_from("127.0.0.1", port);
    if (fd < 0) return "";
    send_all(fd, request);
    std::string reply = read_until_closed(fd, seconds);
    close(fd);
    return reply;
}

const char kPlainGet[] = "GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

HttpLimits short_limits() {
    HttpLimits limits;
    limits.head_seconds = 1;
    limits.body_seconds = 2;
    limits.idle_seconds = 1;
    return limits;
}

using Hostile = BackendTest;

// Slow heads, slow bodies and an idle flood at once: plain requests stay
// quick throughout, each attacker is closed at its own deadline, and the
// connections past the per-address cap are refused at once.
TEST(HostileClients, SlowAndIdleClientsCostASocketNotTheService) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    const HttpLimits limits = short_limits();
    TestServer server(backend.store.get(), ServerOptions(), nullptr, limits);
    struct Attacker {
        int fd;
        const char* kind;
        double closed_at = -1;
    };
    std::vector<Attacker> attackers;
    const auto start = Clock::now();
    for (int i = 0; i < 16; ++i) attackers.push_back({connect_from("127.0.0.2", server.port()), "slow head"});
    for (int i = 0; i < 20; ++i) {
        const int fd = connect_from("127.0.0.3", server.port());
        send_all(fd, "POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n{");
        attackers.push_back({fd, "slow body"});
    }
    for (int i = 0; i < limits.per_address; ++i) attackers.push_back({connect_from("127.0.0.4", server.port()), "idle"});
    for (const Attacker& a : attackers) ASSERT_GE(a.fd, 0) << a.kind;

    // Past the cap, a connection is accepted and closed at once.
    int refused = 0;
    for (int i = 0; i < 20; ++i) {
        const int fd = connect_from("127.0.0.4", server.port());
        refused += fd < 0 || !read_until_closed(fd, 0.5).size() ? 1 : 0;
        if (fd >= 0) close(fd);
    }
    EXPECT_EQ(refused, 20);

    double worst = 0;
    int plain = 0;
    while (since(start) < limits.body_seconds + 1.5) {
        for (Attacker& a : attackers) {
            if (a.closed_at >= 0) continue;
            if (closed_by_server(a.fd)) {
                a.closed_at = since(start);
            } else if (std::strcmp(a.kind, "idle") != 0) {
                // A byte at a time: never idle, never done.
                send(a.fd, a.kind[5] == 'h' ? "X" : " ", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        const auto asked = Clock::now();
        const std::string reply = exchange(server.port(), kPlainGet);
        EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 60);
        worst = std::max(worst, since(asked));
        ++plain;
        usleep(100000);
    }
    EXPECT_GE(plain, 20);
    EXPECT_LT(worst, 0.5) << "the worst of " << plain << " plain requests under attack";
    for (const Attacker& a : attackers) {
        const double deadline = std::strcmp(a.kind, "slow body") == 0 ? limits.body_seconds
                                : std::strcmp(a.kind, "idle") == 0      ? limits.idle_seconds
                                                                        : limits.head_seconds;
        EXPECT_GE(a.closed_at, deadline - 0.2) << a.kind;
        EXPECT_LT(a.closed_at, deadline + 1.2) << a.kind << " left open";
        close(a.fd);
    }
}

// Heads too large are answered 431 while the client is still sending, and
// the connection closed; a head within the limits is served.
TEST(HostileClients, HeaderBombsGet431WithoutBeingReadToTheEnd) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    TestServer server(backend.store.get());
    std::string fields_100, fields_101;
    for (int i = 0; i < 98; ++i) fields_100 += "X-" + std::to_string(i) + ": a\r\n";
    fields_101 = fields_100 + "X-a: a\r\nX-b: b\r\nX-c: c\r\n";
    const struct {
        std::string head;
        const char* status;
    } cases[] = {
        {"GET /style.css HTTP/1.1\r\nHost: x\r\n" + fields_100 + "\r\n", "HTTP/1.1 200"},
        {"GET /style.css HTTP/1.1\r\nHost: x\r\n" + fields_101 + "\r\n", "HTTP/1.1 431"},
        {"GET /style.css HTTP/1.1\r\nHost: x\r\nX-A: " + std::string(kMaxHeadBytes - 200, 'a') + "\r\n\r\n",
         "HTTP/1.1 200"},
        {"GET /style.css HTTP/1.1\r\nHost: x\r\nX-A: " + std::string(kMaxHeadBytes, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
        {"GET /api/v1/results HTTP/1.1\r\nHost: x\r\n" + fields_101 + "\r\n", "HTTP/1.1 431"},
    };
    for (const auto& c : cases) {
        std::string request = c.head;
        request.insert(request.find("Host: x\r\n"), "Connection: close\r\n");
        const std::string reply = exchange(server.port(), request, 2);
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << request.size() << " bytes: " << reply.substr(0, 40);
    }

    // An endless header line: the answer comes while 64 MiB are still
    // being offered, and the server stops reading.
    const int fd = connect_from("127.0.0.2", server.port());
    ASSERT_GE(fd, 0);
    send_all(fd, "GET / HTTP/1.1\r\nHost: x\r\nX-Bomb: ");
    const std::string chunk(65536, 'b');
    size_t offered = 0;
    while (offered < (64u << 20) && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
        offered += chunk.size();
    const std::string reply = read_until_closed(fd, 2);
    close(fd);
    EXPECT_EQ(reply.rfind("HTTP/1.1 431", 0), 0u) << reply.substr(0, 40);
    EXPECT_LT(offered, 16u << 20) << "the server kept reading the head";
}

// Framing a proxy in front could read differently is refused and the
// connection closed; bodies that would be read without bound are refused
// unread; pipelined requests are answered in order, absolute-form targets
// served.
TEST_P(Hostile, AmbiguousOrUnboundedFramingIsRefusedAndTheConnectionClosed) {
    TestServer server(backend.store.get());
    const std::string head = "POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\n";
    const struct {
        std::string request;
        const char* status;
        bool has_body = true;
    } cases[] = {
        {head + "Content-Length: 99999999999999\r\n\r\n" + std::string(200000, 'x'), "HTTP/1.1 413"},
        // Lengths that are not a number are refused by libmicrohttpd itself
        // (413 past its range, 400 for a sign), which repeats its status
        // head; these requests have no body that could be parsed.
        {head + "Content-Length: 99999999999999999999999\r\n\r\n", "HTTP/1.1 413", false},
        {head + "Content-Length: -5\r\n\r\n", "HTTP/1.1 400", false},
        {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", "HTTP/1.1 411"},
        {head + "\r\n" + std::string(1000, 'y'), "HTTP/1.1 411"},
        {head + "Content-Encoding: gzip\r\nContent-Length: 10\r\n\r\n0123456789", "HTTP/1.1 415"},
        {head + "Content-Length: 5\r\nContent-Length: 50\r\n\r\nGET / HTTP/1.1\r\n\r\n" + std::string(27, 'z'),
         "HTTP/1.1 400"},
        {head + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nGET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n",
         "HTTP/1.1 400"},
    };
    for (const auto& c : cases) {
        const auto start = Clock::now();
        const std::string reply = exchange(server.port(), c.request);
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << c.request.substr(0, 90) << " -> " << reply.substr(0, 40);
        EXPECT_LT(since(start), 2.0) << c.status << ": the connection was left open";
        if (c.has_body) {
            EXPECT_EQ(reply.find("HTTP/1.1", 5), std::string::npos) << "a second answer: the body was parsed";
        }
    }

    // Three requests in one write: three answers, in order.
    const std::string pipelined = exchange(server.port(),
                                           "GET /api/v1/results/nothere HTTP/1.1\r\nHost: x\r\n\r\n"
                                           "GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n"
                                           "GET http://x.example/nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const size_t first = pipelined.find("HTTP/1.1 404"), second = pipelined.find("HTTP/1.1 200"),
                 third = pipelined.find("HTTP/1.1 404", first + 1);
    EXPECT_TRUE(first == 0 && second != std::string::npos && third != std::string::npos && first < second &&
                second < third)
        << pipelined.substr(0, 300);
    EXPECT_EQ(exchange(server.port(), "GET http://x.example/style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                  .rfind("HTTP/1.1 200", 0),
              0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Hostile, testing::Values("sqlite"));

}  // namespace
