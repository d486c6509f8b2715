#include "platform/Capabilities.h"

#include <gtest/gtest.h>

#include "platform/PrivilegeChecks.h"
#include "support/LoopbackPort.h"

namespace {

using namespace privilegetest;

TEST(CapabilitiesTest, AfterTheDropNoPrivilegedPortCanBeBound) {
    if (!CanBindPrivilegedPorts()) GTEST_SKIP() << "needs CAP_NET_BIND_SERVICE (run as root)";
    // The machine may have lowered its first unprivileged port (containers often set 0).
    if (!CanMakeOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own (unshare(CLONE_NEWNET) was refused)";
    EXPECT_EQ(0, InChildWithOwnNetwork([&] {
        if (!DropAllCapabilities()) return 1;
        if (CanBindPrivilegedPorts()) return 2;
        if (TryBind(25) != EACCES || TryBind(1023) != EACCES) return 3;
        if (TryBind(FreePort()) != 0) return 4;
        return 0;
    }));
}

TEST(CapabilitiesTest, DroppingTwiceStillSucceeds) {
    EXPECT_EQ(0, InChild([] { return DropAllCapabilities() && DropAllCapabilities() ? 0 : 1; }));
}

}  // namespace
