// Plain TCP peers on 127.0.0.1 for the proxy's tests: listening and
// connected sockets, free ports, and reads with a time-out so that a fault
// fails a test instead of hanging it.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackPort.h"

namespace proxytest {

namespace loopback {

inline sockaddr_in Address(int port) { return LoopbackAddress(port); }

// A socket listening on 127.0.0.1 at a port the system picks; port receives it.
inline int Listen(int& port, int backlog = 64) { return ListenLoopback(port, backlog); }

// A port on which nothing listens (at the moment of the call).
using ::FreePort;

inline int Connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Accepts one connection within timeout; -1 when none comes.
inline int Accept(int listener, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline bool SendAll(int s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(s, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// What arrives in timeout: "closed" is set when the peer's end of data came.
struct Received {
    std::string data;
    bool closed = false;
    bool failed = false;
};

// Reads until count bytes have come (count 0: until the end of data), the
// peer closes, or timeout passes.
inline Received Read(int s, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Received r;
    auto until = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (count == 0 || r.data.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        size_t want = sizeof buffer;
        if (count != 0 && count - r.data.size() < want) want = count - r.data.size();
        ssize_t n = recv(s, buffer, want, 0);
        if (n == 0) {
            r.closed = true;
            break;
        }
        if (n < 0) {
            r.failed = true;
            break;
        }
        r.data.append(buffer, static_cast<size_t>(n));
    }
    return r;
}

// True when the peer's end of data (or a reset) arrives within timeout.
inline bool SeesClose(int s, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    Received r = Read(s, 0, timeout);
    return r.closed || r.failed;
}

// Closes s with a reset instead of an orderly end.
inline void Reset(int s) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(s);
}

// One protocol exchange on a raw client connection: sends line (if any) and
// reads until the reply holds expected, the peer closes, or 10 s pass.
inline std::string Exchange(int sock, const std::string& line, const std::string& expected) {
    if (!line.empty()) SendAll(sock, line);
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[65536];
    while (got.find(expected) == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace loopback

}  // namespace proxytest
