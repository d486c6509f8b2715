// Blocking reads and writes for a TLS peer that drives its connection
// through OpenSSL itself, and the full-duplex pump it needs to send and
// receive at the same time.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>


namespace proxytest {

// Reads on a blocking TLS connection until count bytes came (0: until the
// peer's end of data or an error).
inline std::string TlsRead(SSL* tls, size_t count) {
    std::string data;
    char buffer[16384];
    while (count == 0 || data.size() < count) {
        int want = static_cast<int>(sizeof buffer);
        if (count != 0 && count - data.size() < sizeof buffer) want = static_cast<int>(count - data.size());
        int n = SSL_read(tls, buffer, want);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

inline bool TlsWrite(SSL* tls, const std::string& data) {
    return data.empty() || SSL_write(tls, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

// Sends out while receiving until expected bytes came and out is sent, on
// one TLS connection in one thread (non-blocking). Returns what came.
inline std::string TlsDuplex(SSL* tls, int sock, const std::string& out, size_t expected) {
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL, 0) | O_NONBLOCK);
    std::string in;
    size_t sent = 0;
    char buffer[16384];
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((sent < out.size() || in.size() < expected) && std::chrono::steady_clock::now() < until) {
        bool progress = false;
        if (sent < out.size()) {
            int chunk = static_cast<int>(std::min<size_t>(out.size() - sent, 16384));
            int n = SSL_write(tls, out.data() + sent, chunk);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                progress = true;
            } else if (SSL_get_error(tls, n) != SSL_ERROR_WANT_WRITE && SSL_get_error(tls, n) != SSL_ERROR_WANT_READ) {
                break;
            }
        }
        int n = SSL_read(tls, buffer, sizeof buffer);
        if (n > 0) {
            in.append(buffer, static_cast<size_t>(n));
            progress = true;
        } else {
            int e = SSL_get_error(tls, n);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
        }
        if (!progress) {
            pollfd p{sock, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
            poll(&p, 1, 50);
        }
    }
    ERR_clear_error();
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL, 0) & ~O_NONBLOCK);
    return in;
}

}  // namespace proxytest
