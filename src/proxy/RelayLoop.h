// A RelayLoop runs every session it is given on a single thread: it takes
// the steps of each client process's walk to its server, then runs the two
// relays. It waits on all of their sockets at once and acts only when one of
// them is ready, so a session costs no thread of its own and an idle session
// no wake-up at all. The product's three listeners share one loop: 96 idle
// clients cost one sleeping thread, and a busy loop handles many ready
// sockets per wake-up.
//
// It also keeps each session's quiet time. A session in which neither
// direction has moved data for the whole time ends, as does one whose
// destination has taken nothing of a held chunk for as long: a mail client
// that never reads must not hold its slot for ever.
//
// A session whose client came while its protocol's row was full waits here
// for a slot: the sessions that free slots end on this loop, so the client
// is asked again after each round of events and at the wait's bound, and no
// listener waits meanwhile.
//
// Sessions come in from the listeners' threads through Add; everything else
// happens on the loop's thread, which starts with the first session, except
// resolving a host name, which blocks and runs on a service thread of its
// own. Destroying the loop cuts the sessions still running.
//
// What the loop waits on (the poll set, the wake-up, the timers and the
// queue from other threads) is its Reactor; this is the sessions' life
// cycle on top of it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Mutex.h"
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
    bool Add(std::unique_ptr<RelaySession>& session, const RelayTimeouts& timeouts) EXCLUDES(lock_);

    struct Loop;

private:
    Mutex lock_;
    std::unique_ptr<Loop> loop_ GUARDED_BY(lock_);  // made with the first session
};
