#include "proxy/ProxyListenThread.h"

#include <gtest/gtest.h>

#include "platform/PreboundSockets.h"
#include "proxy/ListenerRun.h"
#include "proxy/ProxyTestContext.h"

namespace {

using namespace proxytest;

// A socket bound at start-up for the listener's port is the one it serves:
// binding the port again would fail while that socket listens.
TEST(ProxyListenPreboundTest, TheListenerTakesTheSocketPreboundForItsPort) {
    ProxyTestContext test;
    int port = loopback::FreePort();
    ASSERT_EQ(PlatformResult::Ok, PrebindListenSocket("127.0.0.1", port, 4));
    ListenerRun run(test.ctx, SMTP, RelayTimeouts{20}, port);
    ASSERT_GE(run.runtime->listenSocket, 0) << test.Log();
    EXPECT_FALSE(run.ended);
    EXPECT_EQ(-1, TakePreboundSocket(port));
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] proxy SMTP at port " + std::to_string(port) + " start\n"));
    int client = run.Connect();
    EXPECT_GE(client, 0);
    close(client);
}

}  // namespace
