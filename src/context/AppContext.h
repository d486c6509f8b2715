// AppContext is the whole process state shared by every thread: the
// foundation's and the catalogue's state it extends, the connection in use,
// the detection flags, the proxies' client slots and the listener arguments,
// each under the lock named beside it. One object exists for the life of the
// process; tests make their own.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfo.h"
#include "context/ClientSlots.h"
#include "core/UiNotifier.h"
#include "platform/AutoResetEvent.h"
#include "platform/MonotonicClock.h"

// The argument of one proxy listener: which protocol, on which local port.
struct ListenParam {
    int32_t protocol = SMTP;  // a ProtocolType
    int32_t port = 0;
};

struct AppContext : CatalogueContext {
    AppContext();

    UiNotifier& Notifier() { return *mainWindow; }

    // Where UiNotifier calls go; set by the entry before any thread starts.
    UiNotifier* mainWindow = &nullNotifier;

    std::mutex infoPaneLock;

    std::mutex bestConnectionLock;
    ProtocalInfo bestConnection;         // LinkCost 0, IsSSL false at start

    std::mutex detectModeLock;
    int32_t detectOnDemand = 0;          // 1: report an unreachable Internet at once
    // When a proxy fail-over last asked for a detection (none yet: empty);
    // it keeps such requests to one per interval.
    std::optional<MonotonicClock::time_point> failoverDetectAt;

    std::mutex detectRunningLock;
    bool detectRunning = false;

    // Per protocol the 32 client sockets, each row under its own lock. A
    // session's quiet time is kept by the relay loop that runs both of its
    // directions, so a slot needs no shared activity flag.
    ClientSlots clientSlots;

    ListenParam listenParams[kProtocolCount];

    // "event_detect_complete": set once by every detection run that passed
    // its single-run guard.
    AutoResetEvent eventDetectComplete;

private:
    NullNotifier nullNotifier;
};
