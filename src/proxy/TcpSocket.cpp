#include "proxy/TcpSocket.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/Ipv4Address.h"
#include "platform/SocketLayer.h"

void SetNoDelay(int sock) {
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetKeepAlive(int sock, int32_t idleSeconds, int32_t intervalSeconds, int32_t probes) {
    if (sock < 0 || idleSeconds <= 0 || intervalSeconds <= 0 || probes <= 0) return;
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    // Probes are not sent while data waits unacknowledged; the same bound
    // then holds for the retransmissions, which the system would otherwise
    // keep up for a quarter of an hour.
    unsigned int userMillis = static_cast<unsigned int>(idleSeconds + intervalSeconds * probes) * 1000u;
    setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &userMillis, sizeof userMillis);
}

ProxyResult ListenTcp(const char* local, int32_t port, int32_t backlog, UniqueFd& listening) {
    listening.Reset();
    if (!StartSocketLayer()) return ProxyResult::NetFailure;
    if (port <= 0 || port > 65535) return ProxyResult::NetFailure;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (!ParseIpv4Address(local, &address.sin_addr)) {
        errno = EINVAL;
        return ProxyResult::NetFailure;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));

    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!sock) return ProxyResult::SocketFailure;
    int on = 1;
    setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(sock.Get(), backlog) != 0) {
        int error = errno;
        sock.Reset();
        errno = error;
        return ProxyResult::NetFailure;
    }
    listening = std::move(sock);
    return ProxyResult::Ok;
}
