// StartThread starts a detached background thread running body; a
// ServiceThread is one its owner joins. Both report false, and run nothing,
// when the system cannot create another thread, so that callers can take the
// "cannot be started" paths their callers expect. A thread may ask for a
// stack of its own size: the proxy runs up to three threads per client, and
// each would otherwise reserve the system's default of 8 MiB.
#pragma once

#include <cstddef>
#include <functional>

#include <pthread.h>

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
    // A thread still running is joined: its body may use what the owner holds.
    ~ServiceThread() { Join(); }

    // False, with nothing started, when the thread cannot be created.
    bool Start(std::function<void()> body, std::size_t stackBytes = 0);
    void Join();

private:
    pthread_t thread_{};
    bool started_ = false;
};
