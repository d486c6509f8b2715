// Loopback ports for tests that start or miss a peer on 127.0.0.1: a
// listening socket on a port the system picks (the one way every test peer
// listens), one that nobody listens on right now (bound once by the system,
// then released), and whether something answers on a port yet.
#pragma once

#include <cstdint>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The settings lines that keep the program's TLS ports, whose defaults are
// fixed machine ports, closed in a test that starts it.
inline constexpr const char* kNoTlsPorts = "PORT_SMTPS=0\nPORT_POP3S=0\nPORT_IMAP4S=0\n";

inline sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket listening on 127.0.0.1 at a port the system picks; port receives
// it. -1 when the system refuses.
inline int ListenLoopback(int& port, int backlog = 64) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

inline int FreePort() {
    int port = 0;
    int fd = ListenLoopback(port, 1);
    if (fd >= 0) close(fd);
    return port;
}

inline bool PortAnswers(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(port);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}
