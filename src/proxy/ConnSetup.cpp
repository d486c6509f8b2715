#include "proxy/ConnSetup.h"

#include <sys/socket.h>
#include <unistd.h>

#include "platform/SocketLayer.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/TcpSocket.h"

namespace {

void CloseSocket(ProxySocket& conn) {
    if (conn.sock > 0) close(conn.sock);
    conn.sock = -1;
}

}  // namespace

int32_t PrepareConn(ProxySocket* conn, const char* host, int32_t port, sockaddr_in* address,
                    bool useTls, TlsClientContext& tlsClient) {
    if (conn == nullptr || host == nullptr || address == nullptr) return kProxyMissingArgument;
    conn->sock = kProxyNetFailure;
    if (!StartSocketLayer()) return kProxyNetFailure;
    *address = sockaddr_in{};
    if (port < 0 || port > 65535 || !ResolveIpv4(host, address->sin_addr)) return kProxyNetFailure;
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));

    int32_t sock = useTls ? SetupTls(conn, host, port, tlsClient) : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->sock = sock;
    return sock > 0 ? sock : kProxyNetFailure;
}

int32_t SetupTls(ProxySocket* conn, const char* host, int32_t port, TlsClientContext& tlsClient) {
    if (conn == nullptr) return kProxyMissingArgument;
    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (conn->sock < 0) {
        conn->sock = -1;
        return kProxySocketFailure;
    }
    int32_t attached = conn->tls.Attach(tlsClient, conn->sock, host, port);
    if (attached != 0) {
        CloseSocket(*conn);
        return attached;
    }
    return conn->sock;
}

int32_t ConnectConn(ProxySocket* conn, const sockaddr_in* address, bool useTls, const ConnectBounds& bounds) {
    if (conn == nullptr || address == nullptr) return kProxyMissingArgument;
    if (ConnectWithin(conn->sock, *address, bounds.connectSeconds) != 0) return kProxyConnectFailure;
    SetNoDelay(conn->sock);
    if (!useTls || !conn->tls.Attached()) return 0;
    if (!conn->tls.Handshake(DeadlineAfterSeconds(bounds.handshakeSeconds))) return kProxyHandshakeFailure;
    return 0;
}
