#include "proxy/ConnIo.h"

#include <cerrno>

#include <sys/socket.h>


namespace {

void Report(SocketWait* wait, SocketWait value) {
    if (wait != nullptr) *wait = value;
}

int32_t RecvPlain(int sock, char* buffer, int32_t size, SocketWait* wait) {
    ssize_t n;
    do {
        n = recv(sock, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        errno = EAGAIN;
        Report(wait, SocketWait::Readable);
    }
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t SendPlain(int sock, const char* data, int32_t length, SocketWait* wait) {
    ssize_t n;
    do {
        n = send(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        errno = EAGAIN;
        Report(wait, SocketWait::Writable);
    }
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

}  // namespace

int32_t RecvConn(ProxySocket& conn, char* buffer, int32_t size, bool useTls, SocketWait* wait) {
    Report(wait, SocketWait::None);
    if (buffer == nullptr || size <= 0) return -1;
    if (!useTls) return RecvPlain(conn.sock.Get(), buffer, size, wait);
    if (!conn.tls.Attached()) return -1;
    SocketWait tlsWait = SocketWait::None;
    int32_t n = conn.tls.ReadSome(buffer, size, tlsWait);
    Report(wait, tlsWait);
    return n;
}

int32_t SendConn(ProxySocket& conn, const char* data, int32_t length, bool useTls, SocketWait* wait) {
    Report(wait, SocketWait::None);
    if (data == nullptr) return -1;
    if (length <= 0) return 0;
    if (!useTls) return SendPlain(conn.sock.Get(), data, length, wait);
    if (!conn.tls.Attached()) return -1;
    SocketWait tlsWait = SocketWait::None;
    int32_t n = conn.tls.WriteSome(data, length, tlsWait);
    Report(wait, tlsWait);
    return n;
}

void CloseConn(ProxySocket& conn) {
    // Once both peers have ended the connection, a shutdown only fails.
    if (conn.sock && !conn.sendShut) shutdown(conn.sock.Get(), SHUT_RDWR);
    conn.sock.Reset();
    conn.sendShut = false;
    conn.tls.Release();
}

void ShutdownSend(ProxySocket& conn, bool useTls) {
    if (!conn.sock) return;
    if (useTls) conn.tls.ShutdownSendNow();
    shutdown(conn.sock.Get(), SHUT_WR);
    conn.sendShut = true;
}
