// A RelaySession is one mail client's session: the client's end, the
// server's end, the walk that chooses the server while that is still under
// way, and what the client process wants done once the server is chosen,
// when none could be, and when the session is over. The client process
// hands it to the relay loop, which lets it wait for a slot when it came
// without one, takes the walk's steps, runs the two relays and ends the
// session exactly once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "context/AppContext.h"
#include "proxy/ProxySocket.h"
#include "proxy/ServerChoice.h"

// When the loop asks a client that has no slot yet whether it may go on.
enum class AdmitTry {
    Arrival,  // it has just come in: sessions whose clients have gone may not have ended yet
    Round,    // the loop has handled the events at hand
    Last,     // its wait is over, or the loop is going: a slot now or never
};

// What such a client is told.
enum class Admission {
    Admitted,  // it holds a slot: the walk to its server starts
    Waiting,   // a slot is about to be freed: asked again after the next round
    Refused,   // no slot: the callee has closed the client, the loop forgets it
};

struct RelaySession {
    explicit RelaySession(AppContext& context) : ctx(context) {}
    RelaySession(const RelaySession&) = delete;
    RelaySession& operator=(const RelaySession&) = delete;

    AppContext& ctx;
    int32_t protocol = SMTP;
    std::optional<int32_t> slot;  // none while its client waits for one
    ProxySocket client;
    ProxySocket server;
    // The client came to a TLS port: the loop runs its handshake, within
    // handshakeSeconds, before the walk to the server starts.
    bool clientTls = false;
    int32_t handshakeSeconds = kHandshakeSeconds;
    bool serverTls = false;

    // Which listener's client it is, by ListenerIndex.
    int32_t Listener() const { return ListenerIndex(protocol, clientTls); }
    // Set while the client has no slot of its own; run on the loop's thread,
    // never waiting, until it answers other than Waiting. Last comes at
    // admitBy at the latest.
    std::function<Admission(RelaySession&, AdmitTry)> admit;
    MonotonicClock::time_point admitBy = kNoDeadline;
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
