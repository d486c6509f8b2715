#include "ui/TrayState.h"

#include <gtest/gtest.h>

namespace {

DetectProgress Finished(int index, int32_t cost) {
    DetectProgress p;
    p.index = index;
    p.count = 2;
    p.finished = true;
    p.LinkCost = cost;
    return p;
}

void TwoCandidateRun(TrayState& tray, int32_t firstCost, int32_t secondCost, int32_t bestCostAfter) {
    tray.RunStarted();
    tray.RunProgress(Finished(0, firstCost));
    tray.RunProgress(Finished(1, secondCost));
    tray.RunFinished(bestCostAfter);
}

TEST(TrayStateTest, NothingMeasuredYetIsNoConnection) {
    TrayState tray;
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);
    tray.ConnectionChanged(-1);
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);
}

TEST(TrayStateTest, ARunIsDetectingUntilItEndsThenItsVerdictShows) {
    TrayState tray;
    tray.RunStarted();
    EXPECT_EQ(tray.Status(), TrayStatus::Detecting);
    tray.RunProgress(Finished(0, -1));
    EXPECT_EQ(tray.Status(), TrayStatus::Detecting);
    tray.RunProgress(Finished(1, 312));
    tray.RunFinished(312);
    EXPECT_EQ(tray.Status(), TrayStatus::Connected);
}

TEST(TrayStateTest, EveryCandidateFailingIsNoConnectionThoughTheOldBestStays) {
    TrayState tray;
    TwoCandidateRun(tray, 200, 300, 200);
    ASSERT_EQ(tray.Status(), TrayStatus::Connected);
    TwoCandidateRun(tray, -1, -1, 200);  // the run keeps bestConnection as it was
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);

    // The proxy then reached a server after all: mail goes through.
    tray.ConnectionChanged(200);
    EXPECT_EQ(tray.Status(), TrayStatus::Connected);
}

TEST(TrayStateTest, ARunThatProbedNothingKeepsTheVerdictBeforeIt) {
    TrayState tray;
    TwoCandidateRun(tray, -1, -1, 0);
    tray.RunStarted();
    tray.RunFinished(0);  // no Internet: no candidate probed
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);

    TwoCandidateRun(tray, 90, -1, 90);
    tray.RunStarted();
    tray.RunFinished(90);
    EXPECT_EQ(tray.Status(), TrayStatus::Connected);
}

TEST(TrayStateTest, ABestWithCostZeroOrFailedIsNoConnection) {
    TrayState tray;
    TwoCandidateRun(tray, 50, -1, 50);
    tray.ConnectionChanged(0);
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);
    tray.ConnectionChanged(-1);
    EXPECT_EQ(tray.Status(), TrayStatus::NoConnection);
}

}  // namespace
