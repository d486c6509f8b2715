// A Reactor is what a single-threaded event loop waits on: the descriptors it
// polls (an epoll set), an eventfd by which other threads wake it, and its
// timers, kept in one heap. A Handoff is the queue on which other threads
// hand such a loop its work. Neither knows what the loop does with its events;
// the relay loop (RelayLoop.cpp) runs the sessions on top of them.
//
// Everything but Wake and the Handoff belongs to the loop's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include <sys/epoll.h>

#include "platform/MonotonicClock.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"

class Reactor {
public:
    // What the events of the wake-up carry; every other token is the owner's.
    static constexpr uint64_t kWakeToken = 0;

    // One timer: when it is due, and whose it is.
    struct Timer {
        MonotonicClock::time_point when;
        uint64_t key;
        bool operator>(const Timer& other) const { return when > other.when; }
    };

    Reactor() = default;
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    // Makes the epoll set and the wake-up; false when the system refuses.
    bool Open();

    // Polls fd for events, reported under token; no events: fd leaves the
    // set. polled is what fd is polled for now, and is kept up to date; a
    // change to what it already is costs nothing. False when the system
    // refused to poll fd for events.
    bool Watch(int fd, uint32_t& polled, uint32_t events, uint64_t token);
    // Waits up to timeoutMillis (-1: until an event) for events, at most
    // capacity of them: their number, 0, or -1 with errno.
    int Wait(epoll_event* events, int capacity, int timeoutMillis);

    // Wakes the loop's wait with an event under kWakeToken; from any thread.
    void Wake();
    // Takes the wake-ups counted so far, after an event under kWakeToken.
    void TakeWakeUps();

    void Arm(MonotonicClock::time_point when, uint64_t key) { timers_.push(Timer{when, key}); }
    // The first timer, taken off the heap, when it is due by now.
    bool TakeDue(MonotonicClock::time_point now, Timer& due);
    // Takes the timers at the front that the owner no longer needs (current
    // says false), so that none of them wakes the loop for nothing.
    template <typename Current>
    void DropStale(Current current) {
        while (!timers_.empty() && !current(timers_.top())) timers_.pop();
    }
    // Whole milliseconds, rounded up, until the first timer is due (0 when
    // it is), -1 without timers.
    long long MillisUntilFirst(MonotonicClock::time_point now) const;

private:
    UniqueFd epoll_;
    UniqueFd wake_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
};

// Work that other threads hand a reactor's thread. Only whoever finds the
// queue empty wakes the loop: it takes everything queued by then at once, and
// a busy loop is spared a write and a read per item. An item can be promised
// first by a thread that is yet to post it; the owner waits for what was
// promised before it goes.
template <typename Item>
class Handoff {
public:
    explicit Handoff(Reactor& reactor) : reactor_(reactor) {}
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;

    void Post(Item item) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        Queue(std::move(item));
    }
    std::vector<Item> TakeAll() EXCLUDES(lock_) {
        std::vector<Item> taken;
        MutexLock hold(lock_);
        taken.swap(items_);
        return taken;
    }

    // An item is to come from a thread the owner starts.
    void Promise() EXCLUDES(lock_) {
        MutexLock hold(lock_);
        ++promised_;
    }
    // The promised item; the owner may go as soon as it is queued.
    void Fulfil(Item item) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        Queue(std::move(item));
        Withdrawn();
    }
    // The thread that was to post it never started.
    void Withdraw() EXCLUDES(lock_) {
        MutexLock hold(lock_);
        Withdrawn();
    }
    // Returns once every promised item has come (or been withdrawn).
    void AwaitPromised() EXCLUDES(lock_) {
        MutexLock hold(lock_);
        while (promised_ > 0) kept_.wait(hold);
    }

private:
    // The wake-up goes out under the lock: once the item is queued, the
    // owner, and the reactor with it, may be gone.
    void Queue(Item item) REQUIRES(lock_) {
        bool idle = items_.empty();
        items_.push_back(std::move(item));
        if (idle) reactor_.Wake();
    }
    void Withdrawn() REQUIRES(lock_) {
        --promised_;
        kept_.notify_all();
    }

    Reactor& reactor_;
    Mutex lock_;
    std::vector<Item> items_ GUARDED_BY(lock_);
    int promised_ GUARDED_BY(lock_) = 0;
    std::condition_variable_any kept_;
};
