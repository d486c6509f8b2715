#include "proxy/TcpSocket.h"

#include <gtest/gtest.h>

#include "proxy/LoopbackSockets.h"

namespace {

using namespace proxytest;

TEST(TcpSocketTest, ListenRefusesABusyPortAndPortZero) {
    int port = 0;
    int busy = loopback::Listen(port);
    ASSERT_GE(busy, 0);
    EXPECT_EQ(ListenTcp(port, 32), -1);
    close(busy);

    EXPECT_EQ(ListenTcp(0, 32), -1);

    int free = loopback::FreePort();
    int sock = ListenTcp(free, 32);
    ASSERT_GT(sock, 0);
    int client = loopback::Connect(free);
    EXPECT_GE(client, 0) << "listens on every local address, loopback included";
    close(client);
    close(sock);
}

TEST(TcpSocketTest, ListenAgainRightAfterConnectionsOnThePort) {
    // A restart must not wait for TIME_WAIT entries of the last run to expire.
    int port = loopback::FreePort();
    int sock = ListenTcp(port, 32);
    ASSERT_GT(sock, 0);
    int client = loopback::Connect(port);
    int served = accept(sock, nullptr, nullptr);
    close(served);  // the server side closes first and keeps TIME_WAIT
    close(client);
    close(sock);
    int again = ListenTcp(port, 32);
    EXPECT_GT(again, 0);
    close(again);
}

TEST(TcpSocketTest, ConnectsToADottedAddressAndRefusesBadHosts) {
    int port = 0;
    int listener = loopback::Listen(port);
    int sock = ConnectTcp("127.0.0.1", port);
    ASSERT_GT(sock, 0);
    int served = loopback::Accept(listener);
    EXPECT_TRUE(loopback::SendAll(sock, "hello"));
    EXPECT_EQ(loopback::Read(served, 5).data, "hello");
    close(served);
    close(sock);
    close(listener);

    EXPECT_EQ(ConnectTcp(nullptr, port), -51);
    EXPECT_EQ(ConnectTcp("", port), -1);
    EXPECT_EQ(ConnectTcp("127.0.0.1", 0), -1);
    EXPECT_EQ(ConnectTcp("127.0.0.1", loopback::FreePort()), -1);
}

}  // namespace
