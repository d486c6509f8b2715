#include "proxy/ConnSetup.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/SocketLayer.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/TcpSocket.h"

namespace {

void CloseSocket(ProxySocket& conn) {
    if (conn.sock > 0) close(conn.sock);
    conn.sock = -1;
}

bool MakeNonBlocking(int sock) {
    int flags = fcntl(sock, F_GETFL, 0);
    return flags >= 0 && fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0;
}

// One deadline for the whole handshake, not one per read: a server that
// sends a byte every few seconds would pass any per-read bound.
bool Handshake(ProxySocket& conn, int32_t seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int r = SSL_connect(conn.tls);
        if (r == 1) return true;
        short events;
        switch (SSL_get_error(conn.tls, r)) {
        case SSL_ERROR_WANT_READ: events = POLLIN; break;
        case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
        default: return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{conn.sock, events, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
}

}  // namespace

int32_t PrepareConn(ProxySocket* conn, const char* host, int32_t port, sockaddr_in* address,
                    bool useTls) {
    if (conn == nullptr || host == nullptr || address == nullptr) return kProxyMissingArgument;
    conn->sock = kProxyNetFailure;
    if (!StartSocketLayer()) return kProxyNetFailure;
    *address = sockaddr_in{};
    if (port < 0 || port > 65535 || !ResolveIpv4(host, address->sin_addr)) return kProxyNetFailure;
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));

    int32_t sock = useTls ? SetupTls(conn) : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->sock = sock;
    return sock > 0 ? sock : kProxyNetFailure;
}

int32_t SetupTls(ProxySocket* conn) {
    if (conn == nullptr) return kProxyMissingArgument;
    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (conn->sock < 0) {
        conn->sock = -1;
        return kProxySocketFailure;
    }
    // Both are idempotent and thread-safe in the library; the load of the
    // error strings reports nothing.
    SSL_load_error_strings();
    if (SSL_library_init() != 1) {
        CloseSocket(*conn);
        return kProxyTlsInitFailure;
    }
    conn->tlsContext = SSL_CTX_new(TLS_client_method());
    if (conn->tlsContext == nullptr) {
        CloseSocket(*conn);
        return kProxyTlsContextFailure;
    }
    // Many mail servers drop TCP without a close-notify; that is an end of
    // data, not a failure.
    SSL_CTX_set_options(conn->tlsContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    conn->tls = SSL_new(conn->tlsContext);
    if (conn->tls == nullptr) {
        CloseSocket(*conn);
        SSL_CTX_free(conn->tlsContext);
        conn->tlsContext = nullptr;
        return kProxyTlsObjectFailure;
    }
    SSL_set_fd(conn->tls, conn->sock);
    return conn->sock;
}

int32_t ConnectConn(ProxySocket* conn, const sockaddr_in* address, bool useTls, const ConnectBounds& bounds) {
    if (conn == nullptr || address == nullptr) return kProxyMissingArgument;
    if (ConnectWithin(conn->sock, *address, bounds.connectSeconds) != 0) return kProxyConnectFailure;
    SetNoDelay(conn->sock);
    if (!useTls || conn->tls == nullptr) return 0;
    if (!MakeNonBlocking(conn->sock) || !Handshake(*conn, bounds.handshakeSeconds)) {
        ERR_clear_error();  // the queue is the thread's; later calls must not see it
        return kProxyHandshakeFailure;
    }
    return 0;
}
