// A RelaySession is one mail client's session: the client's end, the
// server's end, the walk that chooses the server while that is still under
// way, and what the client process wants done once the server is chosen,
// when none could be, and when the session is over. The client process
// hands it to the relay loop, which takes the walk's steps, runs the two
// relays and ends the session exactly once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "context/AppContext.h"
#include "proxy/ProxySocket.h"
#include "proxy/ServerChoice.h"

struct RelaySession {
    explicit RelaySession(AppContext& context) : ctx(context) {}
    RelaySession(const RelaySession&) = delete;
    RelaySession& operator=(const RelaySession&) = delete;

    AppContext& ctx;
    int32_t protocol = SMTP;
    int32_t slot = 0;
    ProxySocket client;  // always plain
    ProxySocket server;
    bool serverTls = false;
    // Still choosing the server; none when the server's end came ready.
    std::unique_ptr<ServerChoice> choice;
    // Run on the loop's thread, neither of them waiting. Once the server is
    // chosen, before the relays start:
    std::function<void(RelaySession&)> chosen;
    // When no candidate took the connection; the session is the callee's
    // from then on, the loop is done with it:
    std::function<void(std::unique_ptr<RelaySession>)> noServer;
    // Runs once, on the loop's thread, after both relays have ended or the
    // session was cut: closes both ends and frees the client's slot.
    std::function<void(RelaySession&)> ended;
};
