// AutoResetEvent stands in for a named auto-reset event shared by the threads
// of one process: Set wakes one waiter (or the next one to wait) and the event
// resets itself as that waiter passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();
    void Wait();
    // Returns false when the time ran out before the event was set.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    bool set_ = false;
};
