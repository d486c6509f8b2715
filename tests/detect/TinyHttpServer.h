// TinyHttpServer answers every request on 127.0.0.1 with a fixed status (a
// redirect when asked) and remembers the request heads it received, which is
// all the reachability check needs of a web host.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "detect/FakePeer.h"

class TinyHttpServer {
public:
    // status for every request; a non-empty redirectTo first answers 302
    // with that location, once.
    explicit TinyHttpServer(int status, std::string redirectTo = "")
        : status_(status), redirect_(std::move(redirectTo)),
          peer_([this](PeerLink& link) { Answer(link); }) {}

    int port() const { return peer_.port(); }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }

private:
    void Answer(PeerLink& link) {
        auto head = link.ReadUntil("\r\n\r\n", 5s);
        if (!head) return;
        bool redirect;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            requests_.push_back(*head);
            redirect = !redirect_.empty() && requests_.size() == 1;
        }
        std::string body = "<html>hello</html>";
        std::string reply =
            redirect ? "HTTP/1.1 302 Found\r\nLocation: " + redirect_ + "\r\n"
                     : "HTTP/1.1 " + std::to_string(status_) + " Whatever\r\n";
        reply += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        link.Send(reply);
    }

    int status_;
    std::string redirect_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    FakePeer peer_;
};
