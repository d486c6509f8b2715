#include "ui/NotificationThrottle.h"

NotificationThrottle::NotificationThrottle(Clock clock) : clock_(std::move(clock)) {}

bool NotificationThrottle::Allow(NotificationKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= lastSent_.size()) return false;
    const Deadline now = clock_();
    std::optional<Deadline>& last = lastSent_[index];
    if (last && now - *last < kNotificationQuietTime) return false;
    last = now;
    return true;
}
