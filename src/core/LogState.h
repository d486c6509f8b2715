// LogState is the process-wide state of the log: the stream kept open between
// lines and the one lock that guards the stream and both files on disk. It
// lives inside CoreContext; WriteLog and the log report are its only users.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>

struct LogState {
    LogState() = default;
    LogState(const LogState&) = delete;
    LogState& operator=(const LogState&) = delete;
    ~LogState();

    // Closes the stream for good: later WriteLog calls write nothing, so no
    // thread can touch the files once shutdown has begun.
    void CloseForShutdown();

    std::mutex logLock;
    FILE* stream = nullptr;         // guarded by logLock
    // The file's length as far as this process wrote it, so that a line
    // costs no seek to learn it; -1 until read from the file once after it
    // was opened. Guarded by logLock.
    long size = -1;
    std::atomic<bool> shutDown{false};
};
