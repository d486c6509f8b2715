#include "platform/PollWait.h"

#include <cerrno>
#include <climits>

int MillisUntil(Deadline deadline) {
    if (deadline == kNoDeadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonotonicClock::now());
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
