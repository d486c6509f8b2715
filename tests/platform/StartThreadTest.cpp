#include "platform/StartThread.h"

#include <atomic>
#include <chrono>
#include <thread>

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

TEST(StartThreadTest, AnImpossibleStackStartsNothing) {
    std::atomic<bool> ran{false};
    EXPECT_FALSE(StartThread([&] { ran = true; }, 1));  // below the system's minimum
    ServiceThread thread;
    EXPECT_FALSE(thread.Start([&] { ran = true; }, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran);
}

}  // namespace
