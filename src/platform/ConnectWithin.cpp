#include "platform/ConnectWithin.h"

#include <cerrno>

#include <sys/socket.h>
#include <sys/time.h>

#include "platform/PollWait.h"

namespace {

// A blocking connect waits at most the socket's send time-out; the time-out
// is taken off again, so that the connected socket blocks as usual.
bool SetSendLimit(int sock, timeval limit) {
    return setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

// Waits until the pending connect has an outcome or the deadline passes.
int32_t AwaitConnect(int sock, Deadline deadline) {
    int r = PollOne(sock, POLLOUT, deadline);
    if (r < 0) return -1;
    if (r == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
    if (error == 0) return 0;
    errno = error;
    return -1;
}

}  // namespace

// Bounded by the send time-out rather than made non-blocking and polled: a
// connect that succeeds costs no failing call and no extra wait.
int32_t ConnectWithin(int sock, const sockaddr_in& address, int32_t seconds) {
    Deadline deadline = DeadlineAfterSeconds(seconds);
    // A time-out of zero would be none at all: no time is the shortest one.
    if (!SetSendLimit(sock, seconds > 0 ? timeval{seconds, 0} : timeval{0, 1})) return -1;
    int32_t result = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // The bound has passed, or a signal cut the wait short (the connect goes
    // on meanwhile): what is left of the bound, if anything, decides.
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) result = AwaitConnect(sock, deadline);
    int error = errno;
    if (!SetSendLimit(sock, timeval{0, 0}) && result == 0) return -1;
    errno = error;
    return result;
}
