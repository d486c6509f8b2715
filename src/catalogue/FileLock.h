// FileLock is the lock of one of the catalogue's files, which several
// threads read and replace: whoever reads or writes the file does so inside
// Hold, so a read runs whole before or after a replacement, never across
// one, and two writers take their turns. The lock guards no memory; the
// file is its data, and Hold is the only way to it.
#pragma once

#include "platform/Mutex.h"

class FileLock {
public:
    // Runs use() while no other use of the file runs; returns what it returns.
    template <typename Use>
    auto Hold(Use&& use) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        return use();
    }

private:
    Mutex lock_;
};
