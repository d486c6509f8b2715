// StartThread starts a detached background thread running body; a
// ServiceThread is one its owner joins. Both report false, and run nothing,
// when the system cannot create another thread, so that callers can take the
// "cannot be started" paths their callers expect. A thread may ask for a
// stack of its own size: the proxy runs two threads per client, and each
// would otherwise reserve the system's default of 8 MiB.
//
// A thread of the service size that has finished its body stays parked for
// a while and takes the next body of that size: a client's threads then cost
// a wake-up each instead of a thread's creation and exit, with the
// signal-mask changes and stack work those bring, on every session. While
// several service threads are at work, a new body first waits a moment for
// one of them to finish, so that a burst of short bodies runs on a few
// threads; one that finds none free in time gets a thread of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

// Enough for a thread that keeps its buffers on the heap and calls no deeper
// than the TLS library: a proxy listener, client process or relay.
inline constexpr std::size_t kServiceStackBytes = 256 * 1024;

// stackBytes 0 takes the system's default.
bool StartThread(std::function<void()> body, std::size_t stackBytes = 0);

class ServiceThread {
public:
    ServiceThread() = default;
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;
    // A body still running is waited for: it may use what the owner holds.
    ~ServiceThread() { Join(); }

    // False, with nothing started, when the thread cannot be created.
    bool Start(std::function<void()> body, std::size_t stackBytes = 0);
    // Returns once the body has returned.
    void Join();

    struct Completion;

private:
    std::shared_ptr<Completion> done_;
};
