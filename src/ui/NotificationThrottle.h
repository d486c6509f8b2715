// NotificationThrottle keeps the desktop notifications from becoming noise:
// a flapping server or a run of refused certificates would otherwise raise a
// bubble every few seconds. Each kind goes out at most once per quiet time,
// measured on the monotonic clock; the clock is a parameter so that a test
// can move time on. Used on the window thread only, so it holds no lock.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/MonotonicClock.h"
#include "ui/NotificationKind.h"

inline constexpr std::chrono::minutes kNotificationQuietTime{10};

class NotificationThrottle {
public:
    using Clock = std::function<Deadline()>;

    explicit NotificationThrottle(Clock clock = [] { return MonotonicClock::now(); });

    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // True, and counted as sent, when no notice of this kind went out within
    // the quiet time; false otherwise.
    bool Allow(NotificationKind kind);

private:
    Clock clock_;
    std::array<std::optional<Deadline>, kNotificationKindCount> lastSent_{};
};
