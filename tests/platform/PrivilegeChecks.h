// Checks shared by the tests of the standard-port grant: what a socket is
// bound to, whether the process may bind a port now, and a child process for
// checks that change the process's privileges for good, in a network
// namespace of its own.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace privilegetest {

// Binding with the privilege the process has now: 0 or the errno.
inline int TryBind(int port) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = bind(sock, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 ? 0 : errno;
    close(sock);
    return result;
}

inline bool ListensOn(int sock, const char* address, int port) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    int listening = 0;
    socklen_t flagSize = sizeof listening;
    char text[INET_ADDRSTRLEN] = {};
    return sock >= 0 && getsockname(sock, reinterpret_cast<sockaddr*>(&where), &size) == 0 &&
           getsockopt(sock, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) == 0 && listening == 1 &&
           ntohs(where.sin_port) == port && inet_ntop(AF_INET, &where.sin_addr, text, sizeof text) &&
           std::string(text) == address;
}

// The grant changes the whole process for good, so each case runs in a child
// that reports the first failed check by its exit code (0: all held).
template <typename Checks>
int InChild(Checks checks) {
    pid_t child = fork();
    if (child == 0) _exit(checks());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// The exit code of a child that could not make its network namespace.
inline constexpr int kNoOwnNetwork = 99;

inline bool LoopbackUp() {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    if (sock >= 0) close(sock);
    return up;
}

// InChild, in a network namespace of the child's own with its loopback up:
// the standard ports are free there whatever this machine runs (a mail
// server on 25 is common), and the lowest unprivileged port is the system's
// default rather than whatever the machine was set to.
template <typename Checks>
int InChildWithOwnNetwork(Checks checks) {
    return InChild([&] {
        if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) return kNoOwnNetwork;
        return checks();
    });
}

// Making a network namespace needs CAP_SYS_ADMIN, which a container's root
// may lack.
inline bool CanMakeOwnNetwork() {
    return InChildWithOwnNetwork([] { return 0; }) == 0;
}

}  // namespace privilegetest
