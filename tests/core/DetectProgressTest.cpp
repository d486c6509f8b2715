#include "core/DetectProgress.h"

#include <gtest/gtest.h>

namespace {

TEST(DetectProgressTest, LinesSayWhereTheRunStands) {
    DetectProgress p;
    p.index = 1;
    p.count = 3;
    p.Code = "ssl-1";
    p.Dest = "ssl-1.host";
    p.LinkCost = 312;
    EXPECT_EQ(ProgressLine(p), "probing 2 of 3: ssl-1 (ssl-1.host)\r\n");
    p.finished = true;
    EXPECT_EQ(ProgressLine(p), "probed 2 of 3: ssl-1 312 ms\r\n");
    p.LinkCost = -1;
    EXPECT_EQ(ProgressLine(p), "probed 2 of 3: ssl-1 FAILD\r\n");
}

}  // namespace
