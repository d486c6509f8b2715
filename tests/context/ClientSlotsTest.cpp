#include "context/ClientSlots.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Numbers that no open descriptor has: poll reports them invalid, never gone.
constexpr int kUnopened = 100000;

TEST(ClientSlotsTest, TakesTheFirstFreeEntryOrNone) {
    ClientSlots slots;
    for (int i = 0; i < kClientSlotCount; ++i) EXPECT_EQ(slots.TakeSlot(POP3, kUnopened + i), i);
    EXPECT_EQ(slots.TakeSlot(POP3, kUnopened + 99), std::nullopt);
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened + 99), 0) << "each protocol has its own row";
    EXPECT_EQ(slots.Release(POP3, kUnopened + 31), 31);
    EXPECT_EQ(slots.Release(POP3, kUnopened + 7), 7);
    EXPECT_EQ(slots.TakeSlot(POP3, kUnopened + 40), 7);
    EXPECT_EQ(slots.TakeSlot(POP3, kUnopened + 41), 31);
    slots.Clear(POP3);
    EXPECT_EQ(slots.TakeSlot(POP3, kUnopened), 0);
    EXPECT_EQ(slots.TakeSlot(kListenerCount, kUnopened), std::nullopt);
    EXPECT_EQ(slots.TakeSlot(-1, kUnopened), std::nullopt);
    EXPECT_EQ(slots.TakeSlot(SMTP, -1), std::nullopt);
}

TEST(ClientSlotsTest, ReleasesTheEntryHoldingTheSocketOnly) {
    ClientSlots slots;
    slots.TakeSlot(IMAP4, 40);
    slots.TakeSlot(IMAP4, 41);
    EXPECT_EQ(slots.Release(IMAP4, 99), std::nullopt);
    EXPECT_EQ(slots.Release(IMAP4, 41), 1);
    EXPECT_EQ(slots.Release(IMAP4, 41), std::nullopt) << "freed once";
    EXPECT_EQ(slots.Release(IMAP4, -1), std::nullopt) << "a free entry holds no socket";
    EXPECT_EQ(slots.Release(SMTP, 40), std::nullopt) << "another protocol's row";
    EXPECT_EQ(slots.Release(IMAP4, 40), 0);
}

// A client that only goes quiet is still there; one that closed is gone.
TEST(ClientSlotsTest, TellsWhenTheClientOfSomeEntryHasGone) {
    ClientSlots slots;
    int pairs[2][2];
    for (auto& pair : pairs) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        slots.TakeSlot(SMTP, pair[0]);
    }
    for (int i = 2; i < kClientSlotCount; ++i) slots.TakeSlot(SMTP, kUnopened + i);
    bool gone = true;
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened, &gone), std::nullopt);
    EXPECT_FALSE(gone);
    ASSERT_EQ(send(pairs[0][1], "NOOP\r\n", 6, MSG_NOSIGNAL), 6);
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened, &gone), std::nullopt);
    EXPECT_FALSE(gone) << "data waiting is no end";
    close(pairs[1][1]);
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened, &gone), std::nullopt);
    EXPECT_TRUE(gone);
    gone = false;
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened, &gone), std::nullopt);
    EXPECT_TRUE(gone) << "until that client's entry is freed";
    EXPECT_EQ(slots.Release(SMTP, pairs[1][0]), 1);
    EXPECT_EQ(slots.TakeSlot(SMTP, kUnopened, &gone), 1);
    close(pairs[0][0]);
    close(pairs[0][1]);
    close(pairs[1][0]);
}

}  // namespace
