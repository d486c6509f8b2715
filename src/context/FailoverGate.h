// FailoverGate keeps the detection runs that client processes ask for after
// falling back past a server that failed to connect to one per interval
// across the process: a server that fails for every client would otherwise
// start a run for each of them.
#pragma once

#include <chrono>
#include <optional>

#include "platform/MonotonicClock.h"
#include "platform/Mutex.h"

class FailoverGate {
public:
    // True when no request has passed within the last interval; this one
    // then has.
    bool TryPass(std::chrono::seconds interval) EXCLUDES(lock_);

private:
    Mutex lock_;
    std::optional<MonotonicClock::time_point> lastPassed_ GUARDED_BY(lock_);
};
