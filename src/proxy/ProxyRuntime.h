// ProxyRuntime is what one listener and its client processes share beyond
// the process state: the relays' quiet time-out, the bounds of an upstream
// connect, the way a detection run is requested, the relay loop that runs
// the sessions, and the means to stop the listener and to know when its
// client processes and sessions are gone. The product runs with the defaults
// and never stops, and its three listeners share one relay loop; tests pass
// short time-outs, a recording detection starter, and stop the listener at
// their end. The runtime must outlive the sessions it started (workers).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "context/AppContext.h"
#include "proxy/RelayLoop.h"
#include "proxy/ServerChoice.h"

struct ProxyRuntime {
    ProxyRuntime() = default;
    ProxyRuntime(const ProxyRuntime&) = delete;
    ProxyRuntime& operator=(const ProxyRuntime&) = delete;

    RelayTimeouts timeouts;
    ConnectBounds connectBounds;
    // A client that had to fall back past a server that failed to connect
    // asks for a quiet detection run, at most once in this many seconds
    // across the process.
    int32_t failoverDetectSeconds = 300;
    // Starts one AutoDetectThread in the given mode; false when it cannot be
    // started.
    std::function<bool(AppContext&, DetectMode)> startDetection = StartDetectionThread;
    // Set to end the listener's accept loop, which a shutdown of its socket
    // wakes; its client processes run on.
    std::atomic<bool> stop{false};
    // A copy of the number of the socket the listener owns, for that
    // shutdown; -1 while there is none.
    std::atomic<int> listenSocket{-1};
    // Client processes started and not yet ended, and sessions handed to the
    // relay loop and not yet ended.
    mutable std::atomic<int> workers{0};

    // Last, so that it goes first: when the runtime holds the last share of
    // its loop, the sessions the loop cuts then still find the rest of the
    // runtime.
    std::shared_ptr<RelayLoop> relays = std::make_shared<RelayLoop>();

    static bool StartDetectionThread(AppContext& ctx, DetectMode mode);
};

// Starts a detection run on demand (an unreachable Internet is reported at
// once); false when it cannot be started.
bool RequestDetection(AppContext& ctx, const ProxyRuntime& runtime);

// In automatic mode, after a client fell back past a server that failed to
// connect: starts a background detection run (it retries quietly), unless
// one was requested this way within the runtime's interval. True when a run
// was started.
bool RequestFailoverDetection(AppContext& ctx, const ProxyRuntime& runtime);

