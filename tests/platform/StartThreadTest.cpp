#include "platform/StartThread.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// The stack size the calling thread was created with. Sanitizers add room of
// their own, so tests ask only for the size asked for, and far less than the
// system's default of 8 MiB.
std::size_t OwnStackSize() {
    pthread_attr_t attr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

bool WaitFor(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(StartThreadTest, AServiceThreadRunsOnTheStackItAskedForUntilJoined) {
    std::size_t seen = 0;
    std::atomic<bool> release{false};
    {
        ServiceThread thread;
        ASSERT_TRUE(thread.Start(
            [&] {
                seen = OwnStackSize();
                while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            kServiceStackBytes));
        release = true;
        thread.Join();
        EXPECT_GE(seen, kServiceStackBytes);
        EXPECT_LT(seen, 2u << 20);
        thread.Join();  // a second join is harmless
    }
    std::atomic<bool> ran{false};
    {
        ServiceThread joinedByItsEnd;
        ASSERT_TRUE(joinedByItsEnd.Start([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ran = true;
        }));
    }
    EXPECT_TRUE(ran) << "the owner's end waits for the thread";
}

TEST(StartThreadTest, ADetachedThreadTakesItsStackSizeToo) {
    std::atomic<std::size_t> seen{0};
    ASSERT_TRUE(StartThread([&] { seen = OwnStackSize(); }, kServiceStackBytes));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(seen.load(), kServiceStackBytes);
    EXPECT_LT(seen.load(), 2u << 20);
}

std::set<pid_t> ThreadsNow() {
    std::set<pid_t> tids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        tids.insert(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
    return tids;
}

// Sessions start their threads one after another all day: a finished one
// must take the next body rather than a new thread being made each time.
TEST(StartThreadTest, AFinishedServiceThreadTakesTheNextBody) {
    std::set<pid_t> before = ThreadsNow();
    std::set<pid_t> fresh;
    for (int i = 0; i < 40; ++i) {
        std::atomic<pid_t> ranOn{0};
        ServiceThread thread;
        ASSERT_TRUE(thread.Start([&] { ranOn = gettid(); }, kServiceStackBytes));
        thread.Join();
        if (before.count(ranOn) == 0) fresh.insert(ranOn);
    }
    EXPECT_LE(fresh.size(), 1u) << "one thread is made, then it serves every body";
    std::atomic<pid_t> detachedOn{0};
    ASSERT_TRUE(StartThread([&] { detachedOn = gettid(); }, kServiceStackBytes));
    ASSERT_TRUE(WaitFor([&] { return detachedOn != 0; }));
    EXPECT_TRUE(before.count(detachedOn) == 1 || fresh.count(detachedOn) == 1) << "a detached body too";

    // A body of another stack size gets a thread of its own.
    std::atomic<std::size_t> seen{0};
    ServiceThread other;
    ASSERT_TRUE(other.Start([&] { seen = OwnStackSize(); }, 2 * kServiceStackBytes));
    other.Join();
    EXPECT_GE(seen.load(), 2 * kServiceStackBytes);
}

TEST(StartThreadTest, AnImpossibleStackStartsNothing) {
    std::atomic<bool> ran{false};
    EXPECT_FALSE(StartThread([&] { ran = true; }, 1));  // below the system's minimum
    ServiceThread thread;
    EXPECT_FALSE(thread.Start([&] { ran = true; }, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran);
}

// Clients that arrive together are each a short job: once a few service
// threads are at work, the next jobs wait for one of them rather than each
// taking a thread (and a resident stack) of its own.
TEST(StartThreadTest, ABurstOfShortJobsSharesAFewThreads) {
    std::mutex lock;
    std::set<pid_t> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(StartThread(
            [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                std::lock_guard<std::mutex> hold(lock);
                threads.insert(gettid());
                ++done;
            },
            kServiceStackBytes));
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done < 60 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(done, 60);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_LE(threads.size(), 30u) << "threads for 60 jobs of 3 ms";
}

// Jobs that hold their threads for long (a server that never answers) must
// not hold up the next one: it waits a moment, then gets a thread anyway.
TEST(StartThreadTest, AJobBehindStuckThreadsStartsSoonAnyway) {
    std::atomic<bool> release{false};
    std::atomic<int> stuck{0};
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(StartThread(
            [&] {
                ++stuck;
                while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                --stuck;
            },
            kServiceStackBytes));
    }
    // A started thread may not have run yet on a busy machine; the next job
    // must meet all twelve at work.
    ASSERT_TRUE(WaitFor([&] { return stuck == 12; })) << stuck << " of 12 began";
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    ASSERT_TRUE(StartThread([&] { ran = true; }, kServiceStackBytes));
    EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(stuck, 12) << "it did not wait for the stuck ones";
    release = true;
    EXPECT_TRUE(WaitFor([&] { return stuck == 0; }));
}

}  // namespace
