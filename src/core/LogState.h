// LogState is the process-wide state of the log: the stream kept open between
// lines and the one lock that guards the stream and both files on disk. It
// lives inside CoreContext; WriteLog appends through it, and the log report
// reads the two files while it holds them, so that no line is written and
// the log does not rotate meanwhile.
#pragma once

#include <atomic>
#include <cstdio>

#include "platform/Mutex.h"

// The open log as the lock guards it.
struct LogFile {
    FILE* stream = nullptr;
    // The file's length as far as this process wrote it, so that a line
    // costs no seek to learn it; -1 until read from the file once after it
    // was opened.
    long size = -1;
};

class LogState {
public:
    LogState() = default;
    LogState(const LogState&) = delete;
    LogState& operator=(const LogState&) = delete;
    ~LogState();

    // Runs use(file) with the log held; returns what use returns. After
    // shutdown use is still run, with no stream, and must not open one.
    template <typename Use>
    auto Hold(Use&& use) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        return use(file_);
    }

    // Closes the stream for good: later WriteLog calls write nothing, so no
    // thread can touch the files once shutdown has begun.
    void CloseForShutdown() EXCLUDES(lock_);
    bool IsShutDown() const { return shutDown_.load(); }

private:
    friend struct LogStateProbe;  // tests look at the lock from another thread

    Mutex lock_;
    LogFile file_ GUARDED_BY(lock_);
    std::atomic<bool> shutDown_{false};
};
