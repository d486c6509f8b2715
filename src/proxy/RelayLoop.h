// A RelayLoop runs every session it is given on a single thread: it takes
// the steps of each client process's walk to its server, then runs the two
// relays. It waits on all of their sockets at once and acts only when one of
// them is ready, so a session costs no thread of its own and an idle session
// no wake-up at all. The product's three listeners share one loop: 96 idle
// clients cost one sleeping thread, and a busy loop handles many ready
// sockets per wake-up.
//
// It also keeps each session's time-outs. A session in which neither
// direction has moved data for its protocol's quiet limit ends, and so, far
// sooner, does one whose destination has taken nothing of a held chunk for
// the stall bound: a mail client that never reads must not hold its slot for
// long, while one waiting in IMAP IDLE is healthy.
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

// What each protocol promises a client that stays quiet: an IMAP4 server
// logs out no sooner than after 30 minutes and a client in IDLE speaks again
// within 29; POP3 allows 10 minutes; SMTP 5 minutes for a command and 10 for
// the end of data. A relay in which nothing moves either way for longer ends.
inline constexpr int32_t kImapQuietSeconds = 31 * 60;
inline constexpr int32_t kPop3QuietSeconds = 10 * 60;
inline constexpr int32_t kSmtpQuietSeconds = 10 * 60;
// A held chunk that its destination takes nothing of for this long ends the
// session: a mail client that never reads must not hold its slot for long.
inline constexpr int32_t kStallSeconds = 180;
// TCP keep-alive on both ends of a relayed session, so that a peer that has
// vanished without a word is found in about two minutes, not at the quiet
// limit.
inline constexpr int32_t kKeepAliveIdleSeconds = 60;
inline constexpr int32_t kKeepAliveIntervalSeconds = 10;
inline constexpr int32_t kKeepAliveProbes = 6;

struct KeepAlive {
    int32_t idleSeconds = kKeepAliveIdleSeconds;          // quiet before the first probe
    int32_t intervalSeconds = kKeepAliveIntervalSeconds;  // between unanswered probes
    int32_t probes = kKeepAliveProbes;                    // unanswered probes that end the connection
};

struct RelayTimeouts {
    RelayTimeouts() = default;
    // Every bound, quiet and stalled alike, the same number of seconds.
    explicit RelayTimeouts(int32_t allSeconds) : stallSeconds(allSeconds) {
        for (int32_t& quiet : quietSeconds) quiet = allSeconds;
    }

    // Both directions silent this long, per protocol: the session ends. 0: no bound.
    int32_t quietSeconds[kProtocolCount] = {kSmtpQuietSeconds, kPop3QuietSeconds, kImapQuietSeconds};
    // A held chunk that the destination takes nothing of this long: the
    // session ends. 0: no bound.
    int32_t stallSeconds = kStallSeconds;
    KeepAlive keepAlive;
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
