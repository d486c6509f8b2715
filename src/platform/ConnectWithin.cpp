#include "platform/ConnectWithin.h"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <string>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/Ipv4Address.h"
#include "platform/MonotonicClock.h"
#include "platform/Mutex.h"
#include "platform/PollWait.h"
#include "platform/StartThread.h"

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

bool ResolveIpv4(const char* host, in_addr& address) {
    if (host == nullptr || host[0] == '\0') return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
        address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        return true;
    }
    if (found != nullptr) freeaddrinfo(found);
    return ParseIpv4Address(host, &address);
}

namespace {

// One lookup's answer, shared by the asker and the thread that looks: the
// asker may have given up and gone by the time the answer comes.
class PendingLookup {
public:
    void Answer(bool found, in_addr address) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        done_ = true;
        found_ = found;
        address_ = address;
        answered_.notify_all();
    }
    bool Await(in_addr& address, int32_t seconds) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        Deadline deadline = DeadlineAfterSeconds(seconds);
        while (!done_) {
            if (answered_.wait_until(hold, deadline) == std::cv_status::timeout && !done_) return false;
        }
        if (found_) address = address_;
        return found_;
    }

private:
    Mutex lock_;
    std::condition_variable_any answered_;
    bool done_ GUARDED_BY(lock_) = false;
    bool found_ GUARDED_BY(lock_) = false;
    in_addr address_ GUARDED_BY(lock_){};
};

}  // namespace

bool ResolveIpv4Within(const char* host, in_addr& address, int32_t seconds) {
    if (host == nullptr || host[0] == '\0') return false;
    // An address needs no resolver and no thread.
    if (ParseIpv4Address(host, &address)) return true;
    auto pending = std::make_shared<PendingLookup>();
    std::string name = host;
    bool started = StartThread(
        [pending, name] {
            in_addr found{};
            bool ok = ResolveIpv4(name.c_str(), found);
            pending->Answer(ok, found);
        },
        kServiceStackBytes);
    if (!started) return false;
    return pending->Await(address, seconds);
}
