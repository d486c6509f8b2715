#include "ui/HistoryChartData.h"

#include <gtest/gtest.h>

namespace {

// Four runs of candidates a and b (and a code no longer in the list):
// run 2 failed whole, b failed alone in run 3.
std::vector<HistoryRecord> History() {
    return {
        {1000, "a", "h1", 120}, {1000, "b", "h2", 300}, {1000, "gone", "h3", 900},
        {2000, "a", "h1", -1},  {2000, "b", "h2", -1},
        {3000, "a", "h1", 140}, {3000, "b", "h2", -1},
        {4000, "a", "h1", 110}, {4000, "b", "h2", 280},
    };
}

TEST(HistoryChartDataTest, OneSeriesPerCandidateWithItsFailuresKept) {
    HistoryChartData data = MakeHistoryChartData(History(), {"b", "a"}, "a");
    ASSERT_EQ(data.series.size(), 2u);
    EXPECT_EQ(data.series[0].Code, "b");  // list order
    EXPECT_FALSE(data.series[0].inUse);
    EXPECT_TRUE(data.series[1].inUse);
    ASSERT_EQ(data.series[0].points.size(), 4u);
    EXPECT_EQ(data.series[0].points[2].time, 3000);
    EXPECT_EQ(data.series[0].points[2].LinkCost, -1);
    EXPECT_EQ(data.series[1].points[3].LinkCost, 110);
    EXPECT_EQ(data.maxCost, 300);  // the removed candidate's 900 is not shown
    EXPECT_EQ(data.firstTime, 1000);
    EXPECT_EQ(data.lastTime, 4000);
}

TEST(HistoryChartDataTest, OnlyARunInWhichEveryCandidateFailedIsAFailedRun) {
    HistoryChartData data = MakeHistoryChartData(History(), {"a", "b"}, "");
    ASSERT_EQ(data.failedRuns.size(), 1u);
    EXPECT_EQ(data.failedRuns[0], 2000);
    for (const ChartSeries& s : data.series) EXPECT_FALSE(s.inUse);
}

TEST(HistoryChartDataTest, WithoutAListEveryCodeOfTheHistoryIsShown) {
    HistoryChartData data = MakeHistoryChartData(History(), {}, "gone");
    ASSERT_EQ(data.series.size(), 3u);
    EXPECT_EQ(data.series[2].Code, "gone");
    EXPECT_TRUE(data.series[2].inUse);
    EXPECT_EQ(data.maxCost, 900);
}

TEST(HistoryChartDataTest, NoHistoryOrNoMatchingCandidateIsEmpty) {
    EXPECT_TRUE(MakeHistoryChartData({}, {"a"}, "a").Empty());
    HistoryChartData data = MakeHistoryChartData(History(), {"other"}, "");
    EXPECT_TRUE(data.Empty());
    EXPECT_TRUE(data.failedRuns.empty());
    ASSERT_EQ(data.series.size(), 1u);
    EXPECT_TRUE(data.series[0].points.empty());
}

}  // namespace
