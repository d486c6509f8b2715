#include "context/DetectRunning.h"

#include <gtest/gtest.h>

namespace {

// A request that meets a working run may put it on demand, never back into
// the background: a user who asked must hear of an unreachable Internet,
// whatever starter came after.
TEST(DetectRunningTest, ARequestOnDemandPutsTheWorkingRunOnDemandAndNothingTakesThatBack) {
    DetectRunning guard;
    EXPECT_FALSE(guard.Get());
    ASSERT_TRUE(guard.TryEnter(DetectMode::Background));
    EXPECT_TRUE(guard.Get());
    EXPECT_EQ(guard.Mode(), DetectMode::Background);
    EXPECT_FALSE(guard.TryEnter(DetectMode::OnDemand));
    EXPECT_EQ(guard.Mode(), DetectMode::OnDemand);
    EXPECT_FALSE(guard.TryEnter(DetectMode::Background));
    EXPECT_EQ(guard.Mode(), DetectMode::OnDemand);
    guard.Leave();
    EXPECT_FALSE(guard.Get());

    // The next run takes its own mode, whatever the last one ended in.
    ASSERT_TRUE(guard.TryEnter(DetectMode::Background));
    EXPECT_EQ(guard.Mode(), DetectMode::Background);
}

}  // namespace
