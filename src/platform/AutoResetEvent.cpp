#include "platform/AutoResetEvent.h"

void AutoResetEvent::Set() {
    {
        MutexLock hold(mutex_);
        set_ = true;
    }
    signalled_.notify_one();
}

void AutoResetEvent::Wait() {
    MutexLock hold(mutex_);
    signalled_.wait(hold, [this] {
        mutex_.AssertHeld();
        return set_;
    });
    set_ = false;
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
    MutexLock hold(mutex_);
    bool set = signalled_.wait_for(hold, timeout, [this] {
        mutex_.AssertHeld();
        return set_;
    });
    if (set) set_ = false;
    return set;
}
