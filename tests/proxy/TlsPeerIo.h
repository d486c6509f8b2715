// A TLS server on 127.0.0.1 for the proxy's tests, with a self-signed
// certificate made at start-up. Each accepted connection is handed, after
// the handshake, to the test's handler on the server's thread. Also the
// full-duplex pump a TLS peer needs to send and receive at the same time.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "proxy/LoopbackSockets.h"
#include "support/SelfSignedTls.h"

namespace proxytest {

class TestTlsServer {
public:
    using Handler = std::function<void(SSL* tls, int sock)>;

    TestTlsServer() {
        ctx_ = MakeSelfSignedServerContext("localhost");
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        listener_ = loopback::Listen(port_);
    }
    ~TestTlsServer() {
        Join();
        close(listener_);
        SSL_CTX_free(ctx_);
    }
    TestTlsServer(const TestTlsServer&) = delete;
    TestTlsServer& operator=(const TestTlsServer&) = delete;

    int port() const { return port_; }

    // Serves the next count connections, one after the other, with handler.
    void Serve(Handler handler, int count = 1) {
        Join();
        thread_ = std::thread([this, handler, count] {
            for (int i = 0; i < count; ++i) {
                int sock = loopback::Accept(listener_, std::chrono::seconds(20));
                if (sock < 0) return;
                SSL* tls = SSL_new(ctx_);
                SSL_set_fd(tls, sock);
                if (SSL_accept(tls) == 1) handler(tls, sock);
                ERR_clear_error();
                SSL_free(tls);
                close(sock);
            }
        });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

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
