#include "platform/StandardPortGrant.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/Capabilities.h"
#include "platform/PreboundSockets.h"
#include "platform/PrivilegeChecks.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {

using namespace privilegetest;

TEST(ReadListenRequestTest, ReadsPortsAndAddressAsTheSettingsLoaderDoes) {
    TempDir dir;
    dir.Write("Quillomark.ini",
              "\xEF\xBB\xBFPORT_SMTP=2526\n"  // a byte-order mark is skipped
              "LOG_LVL=3\n"
              "PORT_POP3=110abc\r\n"
              "PORT_IMAP4=143\n"
              "PORT_IMAP4=2143\n"            // the last line of a key wins
              "PORT_SMTP =25\n"              // a blank makes another key
              "LISTEN_ADDRESS=\"10.0.0.7\"\n");
    ListenRequest request = ReadListenRequest(dir.File("Quillomark.ini").c_str());
    EXPECT_EQ(2526, request.ports[0]);
    EXPECT_EQ(110, request.ports[1]);
    EXPECT_EQ(2143, request.ports[2]);
    EXPECT_EQ("10.0.0.7", request.address);
}

TEST(ReadListenRequestTest, MissingOrUnusablePortsTakeTheDefaults) {
    TempDir dir;
    dir.Write("Quillomark.ini", "PORT_SMTP=abc\nPORT_POP3=-5\nPORT_IMAP4=70000\nLISTEN_ADDRESS=0.0.0.0\n");
    ListenRequest request = ReadListenRequest(dir.File("Quillomark.ini").c_str());
    EXPECT_EQ(2525, request.ports[0]);
    EXPECT_EQ(2110, request.ports[1]);
    EXPECT_EQ(2143, request.ports[2]);
    EXPECT_EQ("127.0.0.1", request.address);  // unquoted: the settings do not take it either

    dir.Write("Quillomark.ini", "LISTEN_ADDRESS=\"10.0.0.7\"\nLISTEN_ADDRESS=\"localhost\"\n");
    EXPECT_EQ("127.0.0.1", ReadListenRequest(dir.File("Quillomark.ini").c_str()).address);

    ListenRequest none = ReadListenRequest(dir.File("missing.ini").c_str());
    EXPECT_EQ(2525, none.ports[0]);
    EXPECT_EQ("127.0.0.1", none.address);
}

class StandardPortGrantTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanBindPrivilegedPorts()) GTEST_SKIP() << "needs CAP_NET_BIND_SERVICE (run as root)";
        if (!CanMakeOwnNetwork())
            GTEST_SKIP() << "needs a network namespace of its own (unshare(CLONE_NEWNET) was refused), "
                            "so as not to meet this machine's mail servers on 25, 110 and 143";
    }
    TempDir dir;
};

TEST_F(StandardPortGrantTest, BindsOnlyTheConfiguredStandardPortsThenDropsEverything) {
    dir.Write("Quillomark.ini", "PORT_SMTP=25\nPORT_POP3=2110\nPORT_IMAP4=143\n");
    std::string settings = dir.File("Quillomark.ini");
    EXPECT_EQ(0, InChildWithOwnNetwork([&] {
        if (UseStandardPortGrant(settings.c_str()) != PlatformResult::Ok) return 1;
        if (!ListensOn(TakePreboundSocket(25), "127.0.0.1", 25)) return 2;
        if (!ListensOn(TakePreboundSocket(143), "127.0.0.1", 143)) return 3;
        if (TakePreboundSocket(2110) != -1) return 4;  // no privilege needed, none used
        if (TakePreboundSocket(25) != -1) return 5;    // handed over once
        if (CanBindPrivilegedPorts()) return 6;
        if (TryBind(80) != EACCES) return 7;   // no other privileged port
        if (TryBind(110) != EACCES) return 8;  // not even an unconfigured standard one
        if (TryBind(FreePort()) != 0) return 9;
        return 0;
    }));
}

TEST_F(StandardPortGrantTest, AnotherPrivilegedPortInTheSettingsIsNotBound) {
    // A user's settings can ask for any port; only 25, 110 and 143 are served.
    dir.Write("Quillomark.ini", "PORT_SMTP=80\nPORT_IMAP4=443\nLISTEN_ADDRESS=\"127.0.0.1\"\n");
    std::string settings = dir.File("Quillomark.ini");
    EXPECT_EQ(0, InChildWithOwnNetwork([&] {
        if (UseStandardPortGrant(settings.c_str()) != PlatformResult::Ok) return 1;
        if (TakePreboundSocket(80) != -1 || TakePreboundSocket(443) != -1) return 2;
        // The missing POP3 port takes its default, 2110, which needs no grant.
        if (TakePreboundSocket(110) != -1 || TakePreboundSocket(2110) != -1) return 3;
        if (TryBind(80) != EACCES || TryBind(443) != EACCES) return 4;
        return 0;
    }));
}

}  // namespace
