#include "core/DetectSummary.h"

#include <gtest/gtest.h>

namespace {

DetectProgress Finished(int index, const char* code, int32_t cost) {
    DetectProgress p;
    p.index = index;
    p.count = 3;
    p.finished = true;
    p.Code = code;
    p.Dest = std::string(code) + ".host";
    p.LinkCost = cost;
    return p;
}

TEST(DetectSummaryTest, NamesTheCheapestPassedCandidateAndCountsThePassed) {
    DetectSummary summary;
    summary.Begin();
    EXPECT_FALSE(summary.HasCandidates());
    DetectProgress started = Finished(0, "a", 0);
    started.finished = false;
    summary.Add(started);
    EXPECT_FALSE(summary.HasCandidates());
    summary.Add(Finished(0, "a", 400));
    summary.Add(Finished(1, "b", -1));
    summary.Add(Finished(2, "c", 312));
    EXPECT_TRUE(summary.HasCandidates());
    EXPECT_EQ(summary.Line(), "best: c (c.host) 312 ms; 2 of 3 candidates passed\r\n");
}

TEST(DetectSummaryTest, ATieGoesToTheEarlierAndNonePassingSaysNone) {
    DetectSummary summary;
    summary.Add(Finished(0, "a", 0));
    summary.Add(Finished(1, "b", 0));
    EXPECT_EQ(summary.Line(), "best: a (a.host) 0 ms; 2 of 3 candidates passed\r\n");

    summary.Begin();
    summary.Add(Finished(0, "a", -1));
    summary.Add(Finished(1, "b", -1));
    summary.Add(Finished(2, "c", -1));
    EXPECT_EQ(summary.Line(), "best: none; 0 of 3 candidates passed\r\n");
}

}  // namespace
