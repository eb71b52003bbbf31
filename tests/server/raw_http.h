// One raw HTTP exchange over a loopback socket, for requests that an HTTP
// client library would refuse to send.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

// Sends request (as much as the server takes) and returns what comes back
// until the server closes or timeout_ms passes; *closed tells which.
inline std::string raw_exchange(int port, const std::string& request, int timeout_ms = 5000, bool* closed = nullptr) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (closed != nullptr) *closed = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return reply;
    }
    send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}
