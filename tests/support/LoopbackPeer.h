// LoopbackPeer is the scripted server every test talks to on 127.0.0.1: it
// listens on a port the system picks and runs the test's handler on each
// connection it accepts, one after another on a thread of its own, plain or
// behind TLS with a self-signed certificate made on the spot. PeerLink is the
// server side of one connection, with reads that give up after a while so
// that a test never hangs on a client that went quiet.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackPort.h"
#include "support/SelfSignedTls.h"

using namespace std::chrono_literals;

class PeerLink {
public:
    PeerLink(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    // For handlers that drive the connection themselves.
    int fd() const { return fd_; }
    SSL* tls() const { return ssl_; }

    bool Send(const std::string& bytes) {
        if (bytes.empty()) return true;
        if (ssl_ != nullptr) return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // The next text up to and including terminator; none when the client
    // closed or nothing more came within timeout.
    std::optional<std::string> ReadUntil(const std::string& terminator,
                                         std::chrono::milliseconds timeout = 15s) {
        auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::size_t at = buffer_.find(terminator);
            if (at != std::string::npos) {
                std::string text = buffer_.substr(0, at + terminator.size());
                buffer_.erase(0, at + terminator.size());
                return text;
            }
            if (!Fill(until)) return std::nullopt;
        }
    }
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 15s) {
        return ReadUntil("\r\n", timeout);
    }

    // Waits until the client closes (or timeout) and tells whether it did.
    bool WaitClosed(std::chrono::milliseconds timeout) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            if (!Fill(until)) return std::chrono::steady_clock::now() < until;
        }
        return false;
    }

    // Everything received and not yet taken by a read.
    const std::string& Pending() const { return buffer_; }

private:
    bool Fill(std::chrono::steady_clock::time_point until) {
        if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
        }
        char chunk[4096];
        int n = ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk)
                                : static_cast<int>(recv(fd_, chunk, sizeof chunk, 0));
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_;
    SSL* ssl_;
    std::string buffer_;
};

// A TLS peer's certificate names this host.
struct PeerTls {
    const char* certificateName = "127.0.0.1";
};

class LoopbackPeer {
public:
    using Handler = std::function<void(PeerLink&)>;
    static constexpr int kEveryConnection = -1;

    // A peer that serves nothing until Serve is called.
    LoopbackPeer() { listen_ = ListenLoopback(port_, 16); }
    explicit LoopbackPeer(PeerTls tls) : LoopbackPeer() { UseTls(tls); }
    // A peer that serves every connection with handler until it goes away.
    explicit LoopbackPeer(Handler handler, bool tls = false) : LoopbackPeer() {
        if (tls) UseTls(PeerTls{});
        Serve(std::move(handler), kEveryConnection);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    ~LoopbackPeer() {
        stop_ = true;
        Join();
        close(listen_);
        if (context_ != nullptr) SSL_CTX_free(context_);
    }

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

    // Presents this certificate (and chain certificate) from the next run
    // on, once the current one has ended.
    void Present(X509* certificate, EVP_PKEY* key, X509* chain = nullptr) {
        Join();
        if (context_ != nullptr) SSL_CTX_free(context_);
        context_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context_, certificate);
        SSL_CTX_use_PrivateKey(context_, key);
        if (chain != nullptr) SSL_CTX_add1_chain_cert(context_, chain);
        SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    }

    // Serves the next count connections with handler, after those of an
    // earlier counted run. A counted run gives up on a connection that does
    // not come within 20 seconds; a run of every connection lasts as long as
    // the peer.
    void Serve(Handler handler, int count = 1) {
        Join();
        thread_ = std::thread([this, handler = std::move(handler), count] { Run(handler, count); });
    }
    // Waits for a counted run to end.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void UseTls(PeerTls tls) {
        context_ = MakeSelfSignedServerContext(tls.certificateName);
        SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    }

    void Run(const Handler& handler, int count) {
        auto giveUp = std::chrono::steady_clock::now() + 20s;
        for (int served = 0; !stop_ && (count == kEveryConnection || served < count);) {
            if (count != kEveryConnection && std::chrono::steady_clock::now() > giveUp) return;
            pollfd entry{listen_, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted_;
            ++served;
            Handle(fd, handler);
            giveUp = std::chrono::steady_clock::now() + 20s;
        }
    }

    // A TLS connection the handler left open ends with a close-notify; one
    // the handler dropped stays dropped.
    void Handle(int fd, const Handler& handler) {
        SSL* ssl = nullptr;
        bool ready = true;
        if (context_ != nullptr) {
            ssl = SSL_new(context_);
            SSL_set_fd(ssl, fd);
            ready = SSL_accept(ssl) == 1;
        }
        if (ready) {
            PeerLink link(fd, ssl);
            handler(link);
        }
        if (ssl != nullptr) {
            if (ready) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ERR_clear_error();
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }

    SSL_CTX* context_ = nullptr;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};
