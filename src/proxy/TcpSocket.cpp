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
