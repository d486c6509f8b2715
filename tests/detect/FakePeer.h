// FakePeer is a scripted server on 127.0.0.1 for the probe tests: it accepts
// connections one after another on a port of its own and runs a handler on
// each, plain or behind TLS with a certificate made on the spot. PeerLink is
// the server side of one connection, with line reads that give up after a
// while so that a test never hangs on a client that went quiet.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <arpa/inet.h>
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

class FakePeer {
public:
    using Handler = std::function<void(PeerLink&)>;

    explicit FakePeer(Handler handler, bool tls = false) : handler_(std::move(handler)) {
        if (tls) context_ = MakeSelfSignedServerContext();
        listen_ = ListenLoopback(port_, 16);
        thread_ = std::thread([this] { Serve(); });
    }
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;
    ~FakePeer() {
        stop_ = true;
        thread_.join();
        close(listen_);
        if (context_ != nullptr) SSL_CTX_free(context_);
    }

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

private:
    void Serve() {
        while (!stop_) {
            pollfd entry{listen_, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted_;
            SSL* ssl = nullptr;
            bool ready = true;
            if (context_ != nullptr) {
                ssl = SSL_new(context_);
                SSL_set_fd(ssl, fd);
                ready = SSL_accept(ssl) == 1;
            }
            if (ready) {
                PeerLink link(fd, ssl);
                handler_(link);
            }
            if (ssl != nullptr) {
                SSL_shutdown(ssl);
                SSL_free(ssl);
            }
            ERR_clear_error();
            shutdown(fd, SHUT_RDWR);
            close(fd);
        }
    }

    Handler handler_;
    SSL_CTX* context_ = nullptr;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

