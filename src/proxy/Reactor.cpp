#include "proxy/Reactor.h"

#include <climits>

#include <sys/eventfd.h>
#include <unistd.h>

bool Reactor::Open() {
    epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
    wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll_ || !wake_) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeToken;
    return epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) == 0;
}

// A descriptor that leaves the set may be closed already: it left by itself.
bool Reactor::Watch(int fd, uint32_t& polled, uint32_t events, uint64_t token) {
    if (events == polled) return true;
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    int op = events == 0 ? EPOLL_CTL_DEL : (polled == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
    if (epoll_ctl(epoll_.Get(), op, fd, &event) != 0 && events != 0) return false;
    polled = events;
    return true;
}

int Reactor::Wait(epoll_event* events, int capacity, int timeoutMillis) {
    return epoll_wait(epoll_.Get(), events, capacity, timeoutMillis);
}

// A full counter wakes the loop all the same: nothing is lost.
void Reactor::Wake() {
    if (!wake_) return;
    uint64_t one = 1;
    ssize_t ignored = write(wake_.Get(), &one, sizeof one);
    (void)ignored;
}

void Reactor::TakeWakeUps() {
    uint64_t count;
    ssize_t ignored = read(wake_.Get(), &count, sizeof count);
    (void)ignored;
}

bool Reactor::TakeDue(MonotonicClock::time_point now, Timer& due) {
    if (timers_.empty() || timers_.top().when > now) return false;
    due = timers_.top();
    timers_.pop();
    return true;
}

long long Reactor::MillisUntilFirst(MonotonicClock::time_point now) const {
    if (timers_.empty()) return -1;
    long long left = std::chrono::ceil<std::chrono::milliseconds>(timers_.top().when - now).count();
    return left < 0 ? 0 : left;
}
