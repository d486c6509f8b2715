// TinyHttpServer answers every request on 127.0.0.1 with a fixed status (a
// redirect when asked) and remembers the request heads it received, which is
// all the reachability check needs of a web host.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/HttpTestServer.h"

class TinyHttpServer {
public:
    // status for every request; a non-empty redirectTo first answers 302
    // with that location, once.
    explicit TinyHttpServer(int status, std::string redirectTo = "") {
        server_.SetHandler([status, redirect = std::move(redirectTo)](const std::string&, int index) {
            if (!redirect.empty() && index == 0) return HttpTestResponse{302, "<html>hello</html>", "Location: " + redirect + "\r\n"};
            return HttpTestResponse{status, "<html>hello</html>", ""};
        });
    }

    int port() const { return server_.port(); }
    std::vector<std::string> Requests() const { return server_.Requests(); }

private:
    HttpTestServer server_;
};
