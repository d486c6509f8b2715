// DetectRunning is the single-run guard of the detection: at most one run
// works at a time, and a run started meanwhile ends at once. It also knows
// how the working run meets an Internet it cannot reach: in the mode it was
// started with, or on demand once a request on demand has met it, so that a
// user who asks while a quiet run waits out a dead connection is told at
// that run's next failed check.
#pragma once

#include "platform/Mutex.h"

// How a detection run meets an Internet it cannot reach.
enum class DetectMode {
    Background,  // it waits and retries quietly, TEST_INTERNET_RETRY_NUM times
    OnDemand,    // it tells the user at the first failed check and ends
};

class DetectRunning {
public:
    // True when no run was working: the caller's run now is, in mode. False
    // otherwise; a request on demand then puts the working run on demand.
    bool TryEnter(DetectMode mode) EXCLUDES(lock_);
    // The working run has ended.
    void Leave() EXCLUDES(lock_);
    // Whether a run is working now.
    bool Get() const EXCLUDES(lock_);
    // The working run's mode as it stands now.
    DetectMode Mode() const EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    bool running_ GUARDED_BY(lock_) = false;
    DetectMode mode_ GUARDED_BY(lock_) = DetectMode::Background;
};
