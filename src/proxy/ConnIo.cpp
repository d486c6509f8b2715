#include "proxy/ConnIo.h"

#include <cerrno>
#include <chrono>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "proxy/ProxyResultCodes.h"

namespace {

// A thread waiting outside the lock looks again this often: the other
// direction may have taken records off the socket meanwhile.
constexpr int kTlsWaitSliceMs = 100;

// What one TLS call left behind, taken while the lock is still held.
struct TlsOutcome {
    int result;
    int sslError;
    int sysError;
};

template <typename Call>
TlsOutcome LockedTlsCall(ProxySocket& conn, Call call) {
    std::lock_guard<std::mutex> lock(conn.tlsLock);
    ERR_clear_error();
    errno = 0;
    TlsOutcome out{call(conn.tls), SSL_ERROR_NONE, 0};
    if (out.result <= 0) {
        out.sslError = SSL_get_error(conn.tls, out.result);
        out.sysError = errno;
        ERR_clear_error();
    }
    return out;
}

// Waits up to ms for events on sock; the poll result.
int PollSocket(int sock, short events, int ms) {
    pollfd entry{sock, events, 0};
    int r;
    do {
        r = poll(&entry, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (entry.revents & POLLNVAL)) return -1;
    return r;
}

// Waits for the socket as the library asked; false for an outcome that is
// final (closed or failed), with errno set for a failure.
bool WaitAsAsked(int sock, const TlsOutcome& out) {
    if (out.sslError == SSL_ERROR_WANT_READ) return PollSocket(sock, POLLIN, kTlsWaitSliceMs) >= 0;
    if (out.sslError == SSL_ERROR_WANT_WRITE) return PollSocket(sock, POLLOUT, kTlsWaitSliceMs) >= 0;
    errno = out.sysError != 0 ? out.sysError : EPROTO;
    return false;
}

int32_t RecvTls(ProxySocket& conn, char* buffer, int32_t size) {
    for (;;) {
        TlsOutcome out = LockedTlsCall(conn, [&](SSL* tls) { return SSL_read(tls, buffer, size); });
        if (out.result > 0) return out.result;
        if (out.sslError == SSL_ERROR_ZERO_RETURN) return 0;
        if (!WaitAsAsked(conn.sock, out)) return -1;
    }
}

int32_t SendTls(ProxySocket& conn, const char* data, int32_t length) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(conn.sendLimitSeconds);
    for (;;) {
        TlsOutcome out = LockedTlsCall(conn, [&](SSL* tls) { return SSL_write(tls, data, length); });
        if (out.result > 0) return out.result;
        if (!WaitAsAsked(conn.sock, out)) return -1;
        if (conn.sendLimitSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// The milliseconds left until deadline, never negative.
int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int32_t WaitForPlain(int sock, int32_t seconds) {
    return PollSocket(sock, POLLIN, seconds * 1000) > 0 ? 1 : kProxyWaitTimeout;
}

// Socket readiness alone is not enough on TLS: bytes already decrypted sit in
// the library, and a readable socket may carry only a partial record or a
// record with no data (a session ticket). A peek settles what a read would do.
int32_t WaitForTls(ProxySocket& conn, int32_t seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(conn.tlsLock);
            if (SSL_pending(conn.tls) > 0) return 1;
        }
        int left = RemainingMs(deadline);
        int r = PollSocket(conn.sock, POLLIN, left < kTlsWaitSliceMs ? left : kTlsWaitSliceMs);
        if (r < 0) return kProxyWaitTimeout;
        if (r > 0) {
            char byte;
            TlsOutcome out = LockedTlsCall(conn, [&](SSL* tls) { return SSL_peek(tls, &byte, 1); });
            if (out.result > 0) return 1;
            if (out.sslError == SSL_ERROR_WANT_WRITE) PollSocket(conn.sock, POLLOUT, kTlsWaitSliceMs);
            else if (out.sslError != SSL_ERROR_WANT_READ) return 1;  // the read reports it
        }
        if (RemainingMs(deadline) == 0) return kProxyWaitTimeout;
    }
}

}  // namespace

int32_t RecvConn(ProxySocket* conn, char* buffer, int32_t size, bool useTls) {
    if (conn == nullptr || buffer == nullptr) return kProxyMissingArgument;
    if (size <= 0) return -1;
    if (useTls) return conn->tls != nullptr ? RecvTls(*conn, buffer, size) : -1;
    ssize_t n;
    do {
        n = recv(conn->sock, buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t SendConn(ProxySocket* conn, const char* data, int32_t length, bool useTls) {
    if (conn == nullptr || data == nullptr) return kProxyMissingArgument;
    if (length <= 0) return 0;
    if (useTls) return conn->tls != nullptr ? SendTls(*conn, data, length) : -1;
    for (;;) {
        ssize_t n = send(conn->sock, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        // The socket's own send time-out is the bound: it passed without a byte.
        if (conn->sendLimitSeconds > 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        // A socket with a send time-out set elsewhere (or non-blocking) that
        // is full for a while has not failed; wait as a blocking send would.
        if (PollSocket(conn->sock, POLLOUT, -1) < 0) return -1;
    }
}

void CloseConn(ProxySocket* conn, bool useTls) {
    if (conn == nullptr) return;
    if (conn->sock > 0) {
        // Once both peers have ended the connection, a shutdown only fails.
        if (!conn->sendShut) shutdown(conn->sock, SHUT_RDWR);
        close(conn->sock);
    }
    conn->sock = -1;
    conn->sendShut = false;
    if (!useTls) return;
    if (conn->tls != nullptr) SSL_free(conn->tls);
    if (conn->tlsContext != nullptr) SSL_CTX_free(conn->tlsContext);
    conn->tls = nullptr;
    conn->tlsContext = nullptr;
}

int32_t WaitForData(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr) return kProxyMissingArgument;
    if (conn->sock <= 0) return kProxyWaitTimeout;
    if (seconds < 0) seconds = 0;
    return conn->tls != nullptr ? WaitForTls(*conn, seconds) : WaitForPlain(conn->sock, seconds);
}

void SetReceiveTimeout(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr || conn->sock <= 0) return;
    timeval limit{seconds > 0 ? seconds : 0, seconds > 0 ? 0 : 1};
    setsockopt(conn->sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void SetSendTimeout(ProxySocket* conn, int32_t seconds) {
    if (conn == nullptr || conn->sock <= 0) return;
    conn->sendLimitSeconds = seconds > 0 ? seconds : 0;
    // A TLS end is non-blocking and keeps its own deadline; a plain one lets
    // the system bound each send.
    if (conn->tls != nullptr) return;
    timeval limit{conn->sendLimitSeconds, 0};
    setsockopt(conn->sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void ShutdownSend(ProxySocket* conn, bool useTls) {
    if (conn == nullptr || conn->sock <= 0) return;
    if (useTls && conn->tls != nullptr) {
        // A few rounds are plenty for one alert record; a peer that takes
        // nothing at all gets the TCP shutdown alone.
        for (int round = 0; round < 10; ++round) {
            TlsOutcome out = LockedTlsCall(*conn, [](SSL* tls) {
                return (SSL_get_shutdown(tls) & SSL_SENT_SHUTDOWN) ? 1 : SSL_shutdown(tls);
            });
            if (out.result >= 0 || out.sslError != SSL_ERROR_WANT_WRITE) break;
            PollSocket(conn->sock, POLLOUT, kTlsWaitSliceMs);
        }
    }
    shutdown(conn->sock, SHUT_WR);
    conn->sendShut = true;
}

void AbortConn(ProxySocket* conn) {
    if (conn == nullptr || conn->sock <= 0) return;
    shutdown(conn->sock, SHUT_RDWR);
    conn->sendShut = true;
}
