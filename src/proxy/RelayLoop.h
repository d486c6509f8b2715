// A RelayLoop runs the relays of every session of one listener on a single
// thread. It waits on all of their sockets at once and runs a relay only
// when one of its ends is ready, so a session costs no thread of its own and
// an idle session no wake-up at all; 32 idle clients of a protocol cost one
// sleeping thread.
//
// It also keeps each session's quiet time. A session in which neither
// direction has moved data for the whole time ends, as does one whose
// destination has taken nothing of a held chunk for as long: a mail client
// that never reads must not hold its slot for ever.
//
// Sessions come in from the client processes' threads through Add;
// everything else happens on the loop's thread, which starts with the first
// session. Destroying the loop cuts the sessions still running.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "proxy/RelaySession.h"

// The name of a loop's thread, as ps and top show it.
inline constexpr char kRelayThreadName[] = "relays";

struct RelayTimeouts {
    // Both directions silent this long, or a held chunk that the destination
    // takes nothing of this long: the session ends. 0: no bound.
    int32_t quietSeconds = 180;
};

class RelayLoop {
public:
    RelayLoop();
    ~RelayLoop();
    RelayLoop(const RelayLoop&) = delete;
    RelayLoop& operator=(const RelayLoop&) = delete;

    // Takes session over and starts its two relays. False, with session
    // left to the caller, when the loop cannot run.
    bool Add(std::unique_ptr<RelaySession>& session, const RelayTimeouts& timeouts);

    struct Loop;

private:
    std::mutex lock_;
    std::unique_ptr<Loop> loop_;  // made with the first session
};
