#include "proxy/ClientSlots.h"

#include <gtest/gtest.h>

#include "context/AppContext.h"
#include "proxy/LoopbackSockets.h"
#include "support/ChildProcess.h"

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

// A client that only goes quiet is still there; one that closed is gone.
TEST(ClientSlotsTest, TellsWhenTheClientOfSomeEntryHasGone) {
    using namespace proxytest;
    int port = 0;
    int listener = loopback::Listen(port);
    int peers[2];
    int row[kClientSlotCount];
    for (int& entry : row) entry = -1;
    for (int i = 0; i < 2; ++i) {
        peers[i] = loopback::Connect(port);
        row[5 + i] = loopback::Accept(listener);
    }
    EXPECT_FALSE(AnyClientGone(row));
    loopback::SendAll(peers[0], "NOOP\r\n");
    EXPECT_FALSE(AnyClientGone(row)) << "data waiting is no end";
    close(peers[1]);
    EXPECT_TRUE(WaitUntil([&] { return AnyClientGone(row); }, std::chrono::seconds(2)));
    EXPECT_FALSE(AnyClientGone(nullptr));
    close(peers[0]);
    for (int i = 0; i < 2; ++i) close(row[5 + i]);
    close(listener);
}

}  // namespace
