#include "platform/AutoResetEvent.h"

void AutoResetEvent::Set() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        set_ = true;
    }
    signalled_.notify_one();
}

void AutoResetEvent::Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    signalled_.wait(hold, [this] { return set_; });
    set_ = false;
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!signalled_.wait_for(hold, timeout, [this] { return set_; })) return false;
    set_ = false;
    return true;
}
