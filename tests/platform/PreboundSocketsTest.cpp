#include "platform/PreboundSockets.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/PrivilegeChecks.h"
#include "support/LoopbackPort.h"
#include "support/OutcomeText.h"

namespace {

using namespace privilegetest;

TEST(PreboundSocketsTest, RefusesAnAddressThatIsNotDottedIpv4) {
    EXPECT_EQ(PlatformResult::SystemRefused, PrebindListenSocket("localhost", FreePort(), 4));
    EXPECT_EQ(PlatformResult::SystemRefused, PrebindListenSocket(nullptr, FreePort(), 4));
    EXPECT_EQ(PlatformResult::SystemRefused, PrebindListenSocket("127.0.0.1", 0, 4));
}

TEST(PreboundSocketsTest, AHighPortIsHandedOverOnceAndAcceptsClients) {
    int port = FreePort();
    ASSERT_EQ(PlatformResult::Ok, PrebindListenSocket("127.0.0.1", port, 4));
    int sock = TakePreboundSocket(port);
    EXPECT_TRUE(ListensOn(sock, "127.0.0.1", port));
    EXPECT_TRUE(PortAnswers(port));
    EXPECT_EQ(-1, TakePreboundSocket(port));
    close(sock);
}

}  // namespace
