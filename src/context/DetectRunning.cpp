#include "context/DetectRunning.h"

bool DetectRunning::TryEnter(DetectMode mode) {
    MutexLock hold(lock_);
    if (running_) {
        if (mode == DetectMode::OnDemand) mode_ = mode;
        return false;
    }
    running_ = true;
    mode_ = mode;
    return true;
}

void DetectRunning::Leave() {
    MutexLock hold(lock_);
    running_ = false;
}

bool DetectRunning::Get() const {
    MutexLock hold(lock_);
    return running_;
}

DetectMode DetectRunning::Mode() const {
    MutexLock hold(lock_);
    return mode_;
}
