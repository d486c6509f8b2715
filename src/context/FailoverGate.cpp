#include "context/FailoverGate.h"

bool FailoverGate::TryPass(std::chrono::seconds interval) {
    MonotonicClock::time_point now = MonotonicClock::now();
    MutexLock hold(lock_);
    if (lastPassed_ && now - *lastPassed_ < interval) return false;
    lastPassed_ = now;
    return true;
}
