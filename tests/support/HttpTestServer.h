// HttpTestServer is a small HTTP/1.0-style server on 127.0.0.1 for the tests
// of the reachability check and the list download: each request is answered by a handler of the test's
// choosing with exact status, headers and body, and the requests are kept so
// that a test can see what the client sent. Every answer closes its
// connection. It serves one request at a time, which is all either client does.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPort.h"

struct HttpTestResponse {
    int status = 200;
    std::string body;
    std::string extraHeaders;  // each ending in "\r\n"; may set Content-Length itself
};

class HttpTestServer {
public:
    using Handler = std::function<HttpTestResponse(const std::string& path, int index)>;

    HttpTestServer() {
        listener_ = ListenLoopback(port_, 16);
        thread_ = std::thread([this] { Loop(); });
    }
    ~HttpTestServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int port() const { return port_; }

    void SetHandler(Handler handler) {
        std::lock_guard<std::mutex> hold(mutex_);
        handler_ = std::move(handler);
    }
    // Answers path with body (status 200), "/index.html" with a small page,
    // and everything else with 404.
    void Serve(const std::string& path, const std::string& body) {
        SetHandler([path, body](const std::string& asked, int) {
            if (asked == path) return HttpTestResponse{200, body, ""};
            if (asked == "/index.html") return HttpTestResponse{200, "<html></html>", ""};
            return HttpTestResponse{404, "not found", ""};
        });
    }

    // The request heads received so far, and how many asked for path.
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }
    int CountFor(const std::string& path) const {
        std::lock_guard<std::mutex> hold(mutex_);
        int n = 0;
        for (const std::string& r : requests_)
            if (r.rfind("GET " + path + " ", 0) == 0) ++n;
        return n;
    }

private:
    void Loop() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int client = accept(listener_, nullptr, nullptr);
            if (client >= 0) Answer(client);
        }
    }

    void Answer(int client) {
        std::string head;
        char chunk[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            ssize_t n = recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            head.append(chunk, static_cast<std::size_t>(n));
        }
        std::string path;
        std::size_t first = head.find(' ');
        std::size_t second = first == std::string::npos ? first : head.find(' ', first + 1);
        if (second != std::string::npos) path = head.substr(first + 1, second - first - 1);
        HttpTestResponse response;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            int index = static_cast<int>(requests_.size());
            requests_.push_back(head);
            response = handler_ ? handler_(path, index) : HttpTestResponse{404, "", ""};
        }
        // A handler that declares its own length (a wrong one, to test) keeps it.
        std::string length = response.extraHeaders.find("Content-Length:") == std::string::npos
                                 ? "Content-Length: " + std::to_string(response.body.size()) + "\r\n"
                                 : "";
        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\n" + length +
                          "Connection: close\r\n" + response.extraHeaders + "\r\n" + response.body;
        for (std::size_t sent = 0; sent < out.size();) {
            ssize_t n = send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        shutdown(client, SHUT_WR);
        // Let the client read everything before the socket goes away.
        pollfd p{client, POLLIN, 0};
        while (poll(&p, 1, 1000) > 0 && recv(client, chunk, sizeof chunk, 0) > 0) {
        }
        close(client);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> requests_;
};

