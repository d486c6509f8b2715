// ResultTimes are the moments, in seconds since 1970, at which the detection
// run's and the user's result files were last written (0 until the first
// write). A proxy listener compares the time of the copy it holds against
// them to know when to read the file again, so each write must be told apart
// from the one before.
#pragma once

#include <cstdint>

#include "platform/Mutex.h"

class ResultTimes {
public:
    // The time of the manual or automatic file's last write.
    int32_t Get(bool manual) const EXCLUDES(lock_);
    // Takes the time of a write now beginning: now, or one second past the
    // last one when the clock does not read later (two writes within one
    // second, or a clock set back).
    int32_t Advance(bool manual) EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    int32_t auto_ GUARDED_BY(lock_) = 0;
    int32_t manual_ GUARDED_BY(lock_) = 0;
};
