#include "platform/PollWait.h"

#include <cerrno>
#include <climits>

Deadline DeadlineAfterSeconds(int32_t seconds) {
    return std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

int MillisUntil(Deadline deadline) {
    if (deadline == kNoDeadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

int PollUntil(pollfd* entries, nfds_t count, Deadline deadline) {
    for (;;) {
        int r = poll(entries, count, MillisUntil(deadline));
        if (r >= 0 || errno != EINTR) return r;
    }
}

int PollOne(int fd, short events, Deadline deadline) {
    pollfd entry{fd, events, 0};
    return PollUntil(&entry, 1, deadline);
}
