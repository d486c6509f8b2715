#include "proxy/ConnSetup.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
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

int32_t ConnectConn(ProxySocket* conn, const sockaddr_in* address, bool useTls,
                    int32_t handshakeSeconds) {
    if (conn == nullptr || address == nullptr) return kProxyMissingArgument;
    if (connect(conn->sock, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0)
        return kProxyConnectFailure;
    SetNoDelay(conn->sock);
    if (useTls && conn->tls != nullptr) {
        // The handshake runs on the blocking socket; these bound each of its
        // reads and writes. The socket is non-blocking afterwards, where they
        // no longer apply.
        timeval limit{handshakeSeconds > 0 ? handshakeSeconds : 1, 0};
        setsockopt(conn->sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(conn->sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (SSL_connect(conn->tls) != 1) {
            ERR_clear_error();  // the queue is the thread's; later calls must not see it
            return kProxyHandshakeFailure;
        }
        if (!MakeNonBlocking(conn->sock)) return kProxyHandshakeFailure;
    }
    return 0;
}
