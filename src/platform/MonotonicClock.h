// MonotonicClock is the program's one clock for durations, bounds and time
// outs: it never goes back when the wall clock is set. A Deadline is a point
// on it; elapsed milliseconds are differences of two readings. Wall-clock
// time (file stamps, log lines, history) is std::chrono::system_clock, and
// nothing else.
#pragma once

#include <chrono>
#include <cstdint>

using MonotonicClock = std::chrono::steady_clock;
using Deadline = MonotonicClock::time_point;

// A wait that only an event ends.
inline constexpr Deadline kNoDeadline = Deadline::max();

// Now plus seconds (0 or less: now).
inline Deadline DeadlineAfterSeconds(int32_t seconds) {
    return MonotonicClock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

// Whole milliseconds from since to now (0 if now is earlier).
inline int64_t MillisSince(Deadline since) {
    auto span = std::chrono::duration_cast<std::chrono::milliseconds>(MonotonicClock::now() - since);
    return span.count() > 0 ? span.count() : 0;
}
