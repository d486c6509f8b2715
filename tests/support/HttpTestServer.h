// HttpTestServer is a small HTTP/1.0-style server on 127.0.0.1 for the tests
// of the reachability check and the list download: each request is answered
// by a handler of the test's choosing with exact status, headers and body,
// and the requests are kept so that a test can see what the client sent.
// Every answer closes its connection. It serves one request at a time, which
// is all either client does.
#pragma once

#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/LoopbackPeer.h"

struct HttpTestResponse {
    int status = 200;
    std::string body;
    std::string extraHeaders;  // each ending in "\r\n"; may set Content-Length itself
};

class HttpTestServer {
public:
    using Handler = std::function<HttpTestResponse(const std::string& path, int index)>;

    HttpTestServer() = default;
    // Answers every request with status and a small page; a non-empty
    // redirectTo first answers 302 with that location, once.
    explicit HttpTestServer(int status, std::string redirectTo = "") {
        SetHandler([status, redirect = std::move(redirectTo)](const std::string&, int index) {
            if (!redirect.empty() && index == 0)
                return HttpTestResponse{302, "<html>hello</html>", "Location: " + redirect + "\r\n"};
            return HttpTestResponse{status, "<html>hello</html>", ""};
        });
    }

    int port() const { return peer_.port(); }

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
    void Answer(PeerLink& link) {
        const std::string head = link.ReadUntil("\r\n\r\n", 5s).value_or(link.Pending());
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
        link.Send("HTTP/1.1 " + std::to_string(response.status) + " Status\r\n" + length + "Connection: close\r\n" +
                  response.extraHeaders + "\r\n" + response.body);
        shutdown(link.fd(), SHUT_WR);
        // Let the client read everything before the socket goes away.
        link.WaitClosed(1s);
    }

    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> requests_;
    // Last, so that its thread ends before what the thread uses goes away.
    LoopbackPeer peer_{[this](PeerLink& link) { Answer(link); }};
};
