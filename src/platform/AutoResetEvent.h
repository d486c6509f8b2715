// AutoResetEvent stands in for a named auto-reset event shared by the threads
// of one process: Set wakes one waiter (or the next one to wait) and the event
// resets itself as that waiter passes.
#pragma once

#include <chrono>
#include <condition_variable>

#include "platform/Mutex.h"

class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set() EXCLUDES(mutex_);
    void Wait() EXCLUDES(mutex_);
    // Returns false when the time ran out before the event was set.
    bool WaitFor(std::chrono::milliseconds timeout) EXCLUDES(mutex_);

private:
    Mutex mutex_;
    std::condition_variable_any signalled_;
    bool set_ GUARDED_BY(mutex_) = false;
};
