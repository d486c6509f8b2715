// A RelaySession is one mail client's session once its server has been
// chosen: the client's end and the server's end, which it owns from then on,
// and what the client process wants done when the session is over. The
// client process hands it to the relay loop, which runs its two relays and
// ends it exactly once.
#pragma once

#include <cstdint>
#include <functional>

#include "context/AppContext.h"
#include "proxy/ProxySocket.h"

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
    // Runs once, on the loop's thread, after both relays have ended or the
    // session was cut: closes both ends and frees the client's slot.
    std::function<void(RelaySession&)> ended;
};
