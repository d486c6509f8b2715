#include "proxy/ClientSlots.h"

#include <gtest/gtest.h>

#include "context/AppContext.h"

namespace {

TEST(ClientSlotsTest, FindsTheFirstFreeEntryOrNone) {
    int row[kClientSlotCount];
    for (int i = 0; i < kClientSlotCount; ++i) row[i] = 100 + i;
    EXPECT_EQ(FindFreeSlot(row), -1);
    row[7] = -1;
    EXPECT_EQ(FindFreeSlot(row), 7);
    row[31] = -1;
    EXPECT_EQ(FindFreeSlot(row), 7);
    EXPECT_EQ(FindFreeSlot(nullptr), -51);
}

TEST(ClientSlotsTest, ReleasesTheEntryHoldingTheSocketOnly) {
    int row[kClientSlotCount];
    for (int& entry : row) entry = -1;
    row[3] = 40;
    row[9] = 41;
    EXPECT_EQ(ReleaseSlot(row, 99), -1);
    EXPECT_EQ(row[3], 40);
    EXPECT_EQ(row[9], 41);
    EXPECT_EQ(ReleaseSlot(row, 41), 9);
    EXPECT_EQ(row[9], -1);
    EXPECT_EQ(row[3], 40);
    EXPECT_EQ(ReleaseSlot(nullptr, 40), -51);
}

}  // namespace
