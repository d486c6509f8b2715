#include "proxy/ConnIo.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

#include "platform/PollWait.h"
#include "proxy/ProxyResultCodes.h"

namespace {

// A limit of 0 or less is no bound at all.
Deadline LimitFromNow(int32_t seconds) {
    return seconds > 0 ? DeadlineAfterSeconds(seconds) : kNoDeadline;
}

int32_t RecvPlain(int sock, char* buffer, int32_t size) {
    ssize_t n;
    do {
        n = recv(sock, buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t SendPlain(ProxySocket& conn, const char* data, int32_t length) {
    for (;;) {
        ssize_t n = send(conn.sock, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        // The socket's own send time-out is the bound: it passed without a byte.
        if (conn.sendLimitSeconds > 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        // A socket with a send time-out set elsewhere (or non-blocking) that
        // is full for a while has not failed; wait as a blocking send would.
        int r = PollOne(conn.sock, POLLOUT, kNoDeadline);
        if (r < 0) return -1;
    }
}

}  // namespace

int32_t RecvConn(ProxySocket* conn, char* buffer, int32_t size, bool useTls) {
    if (conn == nullptr || buffer == nullptr) return kProxyMissingArgument;
    if (size <= 0) return -1;
    if (useTls)
        return conn->tls.Attached() ? conn->tls.Read(buffer, size, LimitFromNow(conn->receiveLimitSeconds)) : -1;
    return RecvPlain(conn->sock, buffer, size);
}

int32_t SendConn(ProxySocket* conn, const char* data, int32_t length, bool useTls) {
    if (conn == nullptr || data == nullptr) return kProxyMissingArgument;
    if (length <= 0) return 0;
    if (useTls)
        return conn->tls.Attached() ? conn->tls.Write(data, length, LimitFromNow(conn->sendLimitSeconds)) : -1;
    return SendPlain(*conn, data, length);
}

void CloseConn(ProxySocket* conn, bool useTls) {
    (void)useTls;  // a stream left attached is released either way
    if (conn == nullptr) return;
    if (conn->sock > 0) {
        // Once both peers have ended the connection, a shutdown only fails.
        if (!conn->sendShut) shutdown(conn->sock, SHUT_RDWR);
        close(conn->sock);
    }
    conn->sock = -1;
    conn->sendShut = false;
    conn->tls.Release();
}

int32_t WaitForData(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr) return kProxyMissingArgument;
    if (conn->sock <= 0) return kProxyWaitTimeout;
    Deadline deadline = DeadlineAfterSeconds(seconds);
    if (conn->tls.Attached()) return conn->tls.WaitReadable(deadline);
    return PollOne(conn->sock, POLLIN, deadline) > 0 ? 1 : kProxyWaitTimeout;
}

void SetReceiveTimeout(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr || conn->sock <= 0) return;
    // A TLS end is non-blocking and keeps its own deadline; a plain one lets
    // the system bound each receive.
    if (conn->tls.Attached()) {
        conn->receiveLimitSeconds = seconds > 0 ? seconds : 0;
        return;
    }
    timeval limit{seconds > 0 ? seconds : 0, seconds > 0 ? 0 : 1};
    setsockopt(conn->sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void SetSendTimeout(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr || conn->sock <= 0) return;
    conn->sendLimitSeconds = seconds > 0 ? seconds : 0;
    if (conn->tls.Attached()) return;
    timeval limit{conn->sendLimitSeconds, 0};
    setsockopt(conn->sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void ShutdownSend(ProxySocket* conn, bool useTls) {
    if (conn == nullptr || conn->sock <= 0) return;
    if (useTls) conn->tls.ShutdownSend();
    shutdown(conn->sock, SHUT_WR);
    conn->sendShut = true;
}

void AbortConn(ProxySocket* conn) {
    if (conn == nullptr || conn->sock <= 0) return;
    shutdown(conn->sock, SHUT_RDWR);
    conn->sendShut = true;
}
