// LogStateProbe tells a test whether the log's lock is free at this moment,
// as seen from the calling thread: what a test of who holds the log, and
// when, needs to ask.
#pragma once

#include "core/LogState.h"

struct LogStateProbe {
    static bool Free(LogState& log) NO_THREAD_SAFETY_ANALYSIS {
        if (!log.lock_.try_lock()) return false;
        log.lock_.unlock();
        return true;
    }
};
