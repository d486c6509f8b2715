#include "proxy/TcpSocket.h"

#include <gtest/gtest.h>

#include <chrono>

#include <fcntl.h>
#include <sys/time.h>

#include "proxy/LoopbackSockets.h"
#include "platform/ConnectWithin.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;

// Connects to port on another address of the machine than 127.0.0.1 (the
// whole 127/8 block is local), as a client from elsewhere would.
int ConnectFromElsewhere(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback::Address(port);
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

TEST(TcpSocketTest, ListenRefusesABusyPortPortZeroAndABadAddress) {
    int port = 0;
    int busy = loopback::Listen(port);
    ASSERT_GE(busy, 0);
    UniqueFd sock;
    EXPECT_EQ(ListenTcp("127.0.0.1", port, 32, sock), ProxyResult::NetFailure);
    EXPECT_FALSE(sock.Valid());
    close(busy);

    EXPECT_EQ(ListenTcp("127.0.0.1", 0, 32, sock), ProxyResult::NetFailure);
    EXPECT_EQ(ListenTcp("localhost", loopback::FreePort(), 32, sock), ProxyResult::NetFailure)
        << "an address, not a name";
    EXPECT_EQ(ListenTcp(nullptr, loopback::FreePort(), 32, sock), ProxyResult::NetFailure);
}

TEST(TcpSocketTest, ListensOnTheGivenAddressOnly) {
    int port = loopback::FreePort();
    UniqueFd sock;
    ASSERT_EQ(ListenTcp("127.0.0.1", port, 32, sock), ProxyResult::Ok);
    int client = loopback::Connect(port);
    EXPECT_GE(client, 0);
    close(client);
    EXPECT_EQ(ConnectFromElsewhere(port), -1) << "nobody else on the network reaches it";
    sock.Reset();

    ASSERT_EQ(ListenTcp("0.0.0.0", port, 32, sock), ProxyResult::Ok);
    client = ConnectFromElsewhere(port);
    EXPECT_GE(client, 0) << "every address when asked";
    close(client);
}

TEST(TcpSocketTest, ListenAgainRightAfterConnectionsOnThePort) {
    // A restart must not wait for TIME_WAIT entries of the last run to expire.
    int port = loopback::FreePort();
    UniqueFd sock;
    ASSERT_EQ(ListenTcp("127.0.0.1", port, 32, sock), ProxyResult::Ok);
    int client = loopback::Connect(port);
    int served = accept(sock.Get(), nullptr, nullptr);
    close(served);  // the server side closes first and keeps TIME_WAIT
    close(client);
    sock.Reset();
    UniqueFd again;
    EXPECT_EQ(ListenTcp("127.0.0.1", port, 32, again), ProxyResult::Ok);
}

// Every upstream connect is bounded; the socket it leaves blocks as usual.
TEST(TcpSocketTest, ABoundedConnectLeavesAPlainBlockingSocket) {
    int port = 0;
    int listener = loopback::Listen(port);
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(ConnectWithin(sock, loopback::Address(port), kConnectSeconds), 0);
    // The bound of the connect is gone: a send may wait as long as it must.
    timeval limit{-1, -1};
    socklen_t size = sizeof limit;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, &size), 0);
    EXPECT_EQ(limit.tv_sec, 0);
    EXPECT_EQ(limit.tv_usec, 0);
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    int served = loopback::Accept(listener);
    EXPECT_TRUE(loopback::SendAll(sock, "hello"));
    EXPECT_EQ(loopback::Read(served, 5).data, "hello");
    close(served);
    close(sock);
    close(listener);
}

TEST(TcpSocketTest, ResolvesNamesAndDottedAddressesOnly) {
    in_addr address{};
    ASSERT_TRUE(ResolveIpv4("127.0.0.1", address));
    EXPECT_EQ(ntohl(address.s_addr), INADDR_LOOPBACK);
    address = in_addr{};
    ASSERT_TRUE(ResolveIpv4("localhost", address));
    EXPECT_EQ(ntohl(address.s_addr), INADDR_LOOPBACK);
    EXPECT_FALSE(ResolveIpv4("", address));
    EXPECT_FALSE(ResolveIpv4(nullptr, address));
}

TEST(TcpSocketTest, ConnectToAServerThatNeverAnswersGivesUpAtItsBound) {
    UnansweredPort silent;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectWithin(sock, loopback::Address(silent.port()), 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);
    close(sock);
    EXPECT_EQ(kConnectSeconds, 10) << "the product's bound";
}

}  // namespace
