#include "platform/ConnectWithin.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

bool SetNonBlocking(int sock, bool on) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0;
}

// Waits until the pending connect has an outcome or the deadline passes.
int32_t AwaitConnect(int sock, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd entry{sock, POLLOUT, 0};
        int r = poll(&entry, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) continue;  // the deadline check above ends it
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
        if (error == 0) return 0;
        errno = error;
        return -1;
    }
}

}  // namespace

int32_t ConnectWithin(int sock, const sockaddr_in& address, int32_t seconds) {
    if (!SetNonBlocking(sock, true)) return -1;
    int32_t result = 0;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINPROGRESS)
            result = AwaitConnect(sock, std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0));
        else
            result = -1;
    }
    int error = errno;
    if (!SetNonBlocking(sock, false) && result == 0) return -1;
    errno = error;
    return result;
}
