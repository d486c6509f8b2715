// Mutex is the program's one lock type: std::mutex with the thread-safety
// attributes that let a clang build check every GUARDED_BY member against the
// locks its users hold. MutexLock holds one for a scope. A lock lives in the
// class whose data it guards; callers never take another class's lock.
//
// Waiting on a condition: std::condition_variable_any takes a MutexLock, which
// unlocks and relocks the mutex as the wait requires.
#pragma once

#include <mutex>

#include "platform/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

    // Tells the analysis that the caller holds this lock where it cannot see
    // it (a callback run under the lock by its owner).
    void AssertHeld() const QM_THREAD_ATTRIBUTE(assert_capability(this)) {}

private:
    std::mutex m_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // For std::condition_variable_any, which releases the lock while it waits.
    void lock() ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }
    void unlock() RELEASE() {
        held_ = false;
        mutex_.unlock();
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};
