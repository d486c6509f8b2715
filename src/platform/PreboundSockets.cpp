#include "platform/PreboundSockets.h"

#include <cerrno>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Ipv4Address.h"
#include "platform/Mutex.h"

namespace {

struct Prebound {
    int32_t port;
    int sock;
};

struct Table {
    Mutex lock;
    std::vector<Prebound> sockets GUARDED_BY(lock);
};

Table& ProcessTable() {
    static Table table;
    return table;
}

}  // namespace

PlatformResult PrebindListenSocket(const char* address, int32_t port, int backlog) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    if (!ParseIpv4Address(address, &where.sin_addr) || port <= 0 || port > 65535) {
        errno = EINVAL;
        return PlatformResult::SystemRefused;
    }
    where.sin_port = htons(static_cast<uint16_t>(port));
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return PlatformResult::SystemRefused;
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(sock, backlog) != 0) {
        int error = errno;
        close(sock);
        errno = error;
        return PlatformResult::SystemRefused;
    }
    Table& table = ProcessTable();
    MutexLock hold(table.lock);
    table.sockets.push_back({port, sock});
    return PlatformResult::Ok;
}

int TakePreboundSocket(int32_t port) {
    Table& table = ProcessTable();
    MutexLock hold(table.lock);
    for (auto it = table.sockets.begin(); it != table.sockets.end(); ++it) {
        if (it->port != port) continue;
        int sock = it->sock;
        table.sockets.erase(it);
        return sock;
    }
    return -1;
}
