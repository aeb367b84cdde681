#pragma once
// Just enough of an HTTP client for tests of the status page: one request per
// connection (HTTP/1.0, the server closes after answering), every wait bounded.

#include "testing/test_support.h"

#include <chrono>
#include <poll.h>
#include <string>

namespace ferrule_test {

struct http_reply {
    int status = 0; // 0: no answer (refused, closed or timed out)
    std::string head;
    std::string body;
    bool has_header(const std::string &line) const {
        return head.find("\r\n" + line + "\r\n") != std::string::npos;
    }
};

// A TCP connection to 127.0.0.1:port, or -1.
inline int http_connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = endpoint("127.0.0.1", static_cast<std::uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one request on a new connection; the connection, or -1.
inline int http_send(int port, const std::string &method, const std::string &path) {
    const int fd = http_connect(port);
    const std::string request = method + " " + path + " HTTP/1.0\r\n\r\n";
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// Nothing to read on `fd` within `wait`.
inline bool http_silent(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 0;
}

// Reads the reply until the server closes, at most `timeout`; closes `fd`.
inline http_reply http_read(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::string all;
    const auto end = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (fd >= 0 && std::chrono::steady_clock::now() < end) {
        if (http_silent(fd, std::chrono::milliseconds(20))) {
            continue;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
        close(fd);
    }
    http_reply reply;
    const std::size_t split = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.", 0) == 0 && split != std::string::npos && split >= 12) {
        reply.status = std::stoi(all.substr(9, 3));
        reply.head = all.substr(0, split + 2);
        reply.body = all.substr(split + 4);
    }
    return reply;
}

inline http_reply http_request(int port, const std::string &method, const std::string &path) {
    return http_read(http_send(port, method, path));
}

inline http_reply http_get(int port, const std::string &path) {
    return http_request(port, "GET", path);
}

} // namespace ferrule_test
