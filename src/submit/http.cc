// One plain HTTP/1.1 exchange over a blocking TCP socket. Every wait is
// bounded: a service that never answers must not hang the program at its end.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "engine/clock.h"
#include "submit/submit.h"

namespace {

// A service that closes early must make send fail, not kill the process.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

int64_t now_ms() { return static_cast<int64_t>(now_seconds() * 1000.0); }

// Waits for events on fd until the deadline; > 0 ready, 0 timed out, < 0 error.
int poll_until(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left < 0) left = 0;
        pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

// A connected blocking socket for one address, or -1. The connect itself runs
// non-blocking so that an address that never answers costs at most timeout_ms.
int connect_address(const addrinfo* ai, int timeout_ms) {
    const int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        // An interrupted non-blocking connect goes on in the background.
        if (errno != EINPROGRESS && errno != EINTR) {
            close(fd);
            return -1;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (poll_until(fd, POLLOUT, now_ms() + timeout_ms) <= 0 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    if (fcntl(fd, F_SETFL, flags) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void limit_sends(int fd, int timeout_ms) {
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((timeout_ms % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#if defined(SO_NOSIGPIPE)
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

}  // namespace

int http_exchange(const UploadTarget* target, const char* request, size_t request_length, char* reply,
                  size_t* reply_length, FILE* err) {
    *reply_length = 0;
    reply[0] = '\0';

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(target->host, target->port, &hints, &addresses) != 0) {
        std::fprintf(err, "  upload error: cannot resolve %s\n", target->host);
        return 0;
    }
    int fd = -1;
    for (const addrinfo* ai = addresses; ai != nullptr && fd < 0; ai = ai->ai_next)
        fd = connect_address(ai, target->connect_timeout_ms);
    freeaddrinfo(addresses);
    if (fd < 0) {
        std::fprintf(err, "  upload error: cannot connect to %s:%s\n", target->host, target->port);
        return 0;
    }

    limit_sends(fd, target->reply_timeout_ms);
    size_t sent = 0;
    while (sent < request_length) {
        const ssize_t n = send(fd, request + sent, request_length - sent, kSendFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::fprintf(err, "  upload error: send failed\n");
            close(fd);
            return 0;
        }
        sent += static_cast<size_t>(n);
    }

    // Read until the service closes the connection, the buffer is full or the
    // time-out passes; whatever arrived by then is the reply.
    const int64_t deadline = now_ms() + target->reply_timeout_ms;
    size_t held = 0;
    while (held < kReplyCapacity - 1) {
        if (poll_until(fd, POLLIN, deadline) <= 0) break;
        const ssize_t n = recv(fd, reply + held, kReplyCapacity - 1 - held, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        held += static_cast<size_t>(n);
    }
    close(fd);
    reply[held] = '\0';
    if (held == 0) {
        std::fprintf(err, "  upload error: no server response\n");
        return 0;
    }
    *reply_length = held;
    return 1;
}
