// Upstream servers for tests of the server choice: each listens on its own
// loopback port and notes, in one shared order, when a connection to it
// arrives. A "refusing" TLS upstream accepts TCP and drops it at once, so
// the handshake fails but the attempt is seen.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/ProtocalInfo.h"
#include "proxy/LoopbackSockets.h"

namespace proxytest {

class AttemptLog {
public:
    void Note(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        order_.push_back(name);
    }
    std::vector<std::string> Order() {
        std::lock_guard<std::mutex> lock(mutex_);
        return order_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> order_;
};

class RecordingUpstream {
public:
    // dropAtOnce: close every connection right after accepting it.
    RecordingUpstream(std::string name, AttemptLog& log, bool dropAtOnce)
        : name_(std::move(name)), log_(log), drop_(dropAtOnce) {
        listener_ = loopback::Listen(port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingUpstream() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (int s : kept_) close(s);
    }
    RecordingUpstream(const RecordingUpstream&) = delete;
    RecordingUpstream& operator=(const RecordingUpstream&) = delete;

    int port() const { return port_; }
    // The next kept connection, waiting up to timeout; -1 when none came.
    int TakeConnection(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!fresh_.empty()) {
                    int s = fresh_.front();
                    fresh_.erase(fresh_.begin());
                    return s;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    // Closes a connection the test took, in order or with a reset; the rest
    // close with the upstream.
    void Close(int sock, bool reset = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (*it == sock) {
                kept_.erase(it);
                if (reset) loopback::Reset(sock);
                else close(sock);
                return;
            }
        }
    }

private:
    void Run() {
        while (!stop_) {
            int s = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0) return;
            log_.Note(name_);
            if (drop_) {
                close(s);
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            kept_.push_back(s);
            fresh_.push_back(s);
        }
    }

    std::string name_;
    AttemptLog& log_;
    bool drop_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> kept_;
    std::vector<int> fresh_;
};

// An upstream that ends sessions as mail servers do: it greets each
// connection with one line and closes it as soon as the client's end of
// data (or a reset) arrives. One thread serves every connection.
class GreetingUpstream {
public:
    explicit GreetingUpstream(std::string greeting) : greeting_(std::move(greeting)) {
        listener_ = loopback::Listen(port_, 128);
        thread_ = std::thread([this] { Run(); });
    }
    ~GreetingUpstream() {
        stop_ = true;
        thread_.join();
        close(listener_);
        for (const pollfd& p : open_) close(p.fd);
    }
    GreetingUpstream(const GreetingUpstream&) = delete;
    GreetingUpstream& operator=(const GreetingUpstream&) = delete;

    int port() const { return port_; }
    int Accepted() const { return accepted_; }

private:
    void Run() {
        while (!stop_) {
            std::vector<pollfd> watch{{listener_, POLLIN, 0}};
            watch.insert(watch.end(), open_.begin(), open_.end());
            if (poll(watch.data(), watch.size(), 20) <= 0) continue;
            if (watch[0].revents & POLLIN) Greet();
            for (size_t i = 1; i < watch.size(); ++i)
                if (watch[i].revents != 0) Drain(watch[i].fd);
        }
    }
    void Greet() {
        int s = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) return;
        ++accepted_;
        loopback::SendAll(s, greeting_);
        open_.push_back({s, POLLIN, 0});
    }
    // Reads what is there; the end of data closes the connection.
    void Drain(int s) {
        char buffer[4096];
        ssize_t n = recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == EAGAIN)) return;
        close(s);
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (it->fd == s) {
                open_.erase(it);
                return;
            }
        }
    }

    std::string greeting_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<pollfd> open_;
    std::thread thread_;
};

inline ProtocalInfo Candidate(const char* code, int port, bool tls, int cost, const char* dest = "127.0.0.1") {
    ProtocalInfo c;
    c.Type = tls ? MAIL_SSL : MAIL;
    c.IsSSL = tls;
    c.LinkCost = cost;
    c.SetCode(code);
    c.SetDest(dest);
    for (int& p : c.Port) p = port;
    return c;
}

}  // namespace proxytest
