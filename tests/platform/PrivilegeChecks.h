// Checks shared by the tests of the standard-port grant: what a socket is
// bound to, whether the process may bind a port now, and a child process for
// checks that change the process's privileges for good.
#pragma once

#include <cerrno>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
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

}  // namespace privilegetest
