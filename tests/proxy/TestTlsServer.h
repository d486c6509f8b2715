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
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "proxy/LoopbackSockets.h"

namespace proxytest {

class TestTlsServer {
public:
    using Handler = std::function<void(SSL* tls, int sock)>;

    TestTlsServer() {
        key_ = EVP_EC_gen("P-256");
        cert_ = X509_new();
        X509_set_version(cert_, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert_), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert_), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert_), 3600);
        X509_set_pubkey(cert_, key_);
        X509_NAME* name = X509_get_subject_name(cert_);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                                   -1, -1, 0);
        X509_set_issuer_name(cert_, name);
        X509_sign(cert_, key_, EVP_sha256());
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx_, cert_);
        SSL_CTX_use_PrivateKey(ctx_, key_);
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        listener_ = loopback::Listen(port_);
    }
    ~TestTlsServer() {
        Join();
        close(listener_);
        SSL_CTX_free(ctx_);
        X509_free(cert_);
        EVP_PKEY_free(key_);
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
    EVP_PKEY* key_ = nullptr;
    X509* cert_ = nullptr;
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
