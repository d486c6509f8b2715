#include "proxy/ConnIo.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "proxy/LoopbackSockets.h"
#include "proxy/RelayTestPeers.h"
#include "proxy/TlsPeerIo.h"
#include "support/BlockingConn.h"
#include "support/LoopbackPeer.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;


TEST(ConnIoTest, WaitOnAPlainConnection) {
    PlainEnd pair;
    auto start = Clock::now();
    EXPECT_FALSE(WaitForData(pair.conn, 1));
    EXPECT_GE(Clock::now() - start, 900ms);

    loopback::SendAll(pair.peer, "data");
    start = Clock::now();
    EXPECT_TRUE(WaitForData(pair.conn, 10));
    EXPECT_LT(Clock::now() - start, 500ms);

    char buffer[16];
    EXPECT_EQ(RecvConn(pair.conn, buffer, sizeof buffer, false), 4);
    pair.ClosePeer();
    EXPECT_TRUE(WaitForData(pair.conn, 10)) << "the peer's close is something to read";
    EXPECT_EQ(RecvConn(pair.conn, buffer, sizeof buffer, false), 0);
}

TEST(ConnIoTest, EmptySendsAndTlsAskedForOnAPlainEnd) {
    char buffer[4];
    PlainEnd pair;
    EXPECT_EQ(SendConn(pair.conn, "x", 0, false), 0);
    EXPECT_EQ(RecvConn(pair.conn, buffer, 4, true), -1) << "TLS asked for on a plain end";
    EXPECT_EQ(RecvConn(pair.conn, nullptr, 4, false), -1);
}

TEST(ConnIoTest, WaitSeesWhatTheTlsLayerAlreadyHolds) {
    LoopbackPeer server{PeerTls{"localhost"}};
    std::atomic<bool> done{false};
    server.Serve([&](PeerLink& link) {
        TlsWrite(link.tls(), "abcdef");  // one record
        while (!done) std::this_thread::sleep_for(10ms);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    ASSERT_TRUE(WaitForData(conn, 10));
    char c;
    ASSERT_EQ(RecvConn(conn, &c, 1, true), 1);
    EXPECT_EQ(c, 'a');
    // The socket is drained now; five bytes wait inside the TLS layer.
    auto start = Clock::now();
    EXPECT_TRUE(WaitForData(conn, 10));
    EXPECT_LT(Clock::now() - start, 500ms);
    char rest[16];
    EXPECT_EQ(RecvConn(conn, rest, sizeof rest, true), 5);
    done = true;
    CloseConn(conn);
    server.Join();
}

TEST(ConnIoTest, TlsRecordsWithoutDataDoNotEndAWait) {
    // Session tickets arrive after the handshake and carry no data.
    LoopbackPeer server{PeerTls{"localhost"}};
    std::atomic<bool> done{false};
    server.Serve([&](PeerLink&) {
        while (!done) std::this_thread::sleep_for(10ms);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    auto start = Clock::now();
    EXPECT_FALSE(WaitForData(conn, 1));
    EXPECT_GE(Clock::now() - start, 900ms);
    done = true;
    CloseConn(conn);
    server.Join();
}

TEST(ConnIoTest, TlsPeerThatDropsTcpWithoutCloseNotifyReadsAsTheEnd) {
    LoopbackPeer server{PeerTls{"localhost"}};
    server.Serve([](PeerLink& link) {
        TlsWrite(link.tls(), "bye");
        shutdown(link.fd(), SHUT_RDWR);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    char buffer[16];
    std::string got;
    int n;
    while (WaitForData(conn, 5) && (n = RecvConn(conn, buffer, sizeof buffer, true)) > 0)
        got.append(buffer, n);
    EXPECT_EQ(got, "bye");
    EXPECT_EQ(n, 0);
    CloseConn(conn);
    server.Join();
}

TEST(ConnIoTest, ShutdownSendEndsOneDirectionOnly) {
    PlainEnd pair;
    ShutdownSend(pair.conn, false);
    loopback::Received r = loopback::Read(pair.peer, 0, 2s);
    EXPECT_TRUE(r.closed);
    loopback::SendAll(pair.peer, "still here");
    char buffer[32];
    ASSERT_TRUE(WaitForData(pair.conn, 5));
    EXPECT_EQ(RecvConn(pair.conn, buffer, sizeof buffer, false), 10);
}

TEST(ConnIoTest, ShutdownSendOnTlsSendsCloseNotifyAndKeepsReading) {
    LoopbackPeer server{PeerTls{"localhost"}};
    std::atomic<int> serverSaw{-1};
    server.Serve([&](PeerLink& link) {
        char c;
        int n = SSL_read(link.tls(), &c, 1);
        serverSaw = (n == 0 && (SSL_get_shutdown(link.tls()) & SSL_RECEIVED_SHUTDOWN)) ? 1 : 0;
        TlsWrite(link.tls(), "after");
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    ShutdownSend(conn, true);
    std::string got;
    char buffer[16];
    while (got.size() < 5 && WaitForData(conn, 5)) {
        int n = RecvConn(conn, buffer, sizeof buffer, true);
        if (n <= 0) break;
        got.append(buffer, n);
    }
    EXPECT_EQ(got, "after");
    server.Join();
    EXPECT_EQ(serverSaw, 1) << "the server read a close-notify";
    CloseConn(conn);
}

TEST(ConnIoTest, APlainEndThatCannotGoOnSaysWhatItWaitsFor) {
    PlainEnd pair;
    char buffer[16];
    SocketWait wait = SocketWait::None;
    EXPECT_EQ(RecvConn(pair.conn, buffer, sizeof buffer, false, &wait), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(wait, SocketWait::Readable);
    // The peer reads nothing: the send buffers fill up and a send takes nothing.
    const std::string block(1 << 20, 'x');
    int32_t n = 0;
    for (int i = 0; i < 64 && (n = SendConn(pair.conn, block.data(), 1 << 20, false, &wait)) > 0; ++i) {
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(wait, SocketWait::Writable);
}

// One thread reads and writes one TLS connection without ever blocking, as
// the relay loop does: every call that cannot go on names what the socket
// must do first, and waiting for just that is enough for all data to pass.
TEST(ConnIoTest, ANonBlockingTlsDuplexMovesEverything) {
    const std::string up = Pattern(6 << 20, 1);
    const std::string down = Pattern(6 << 20, 2);
    LoopbackPeer server{PeerTls{"localhost"}};
    std::string serverGot;
    server.Serve([&](PeerLink& link) { serverGot = TlsDuplex(link.tls(), link.fd(), down, up.size()); });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));

    std::string clientGot;
    std::string held;  // what the last write could not pass, offered again as it is
    size_t sent = 0;
    char buffer[20000];
    auto until = Clock::now() + 60s;
    while ((clientGot.size() < down.size() || sent < up.size()) && Clock::now() < until) {
        SocketWait readWait = SocketWait::None;
        SocketWait writeWait = SocketWait::None;
        int n = 0;
        while (clientGot.size() < down.size() &&
               (n = RecvConn(conn, buffer, sizeof buffer, true, &readWait)) > 0)
            clientGot.append(buffer, n);
        ASSERT_TRUE(clientGot.size() == down.size() || (n < 0 && errno == EAGAIN)) << n;
        if (held.empty() && sent < up.size()) held = up.substr(sent, 99999);
        while (!held.empty() && (n = SendConn(conn, held.data(), static_cast<int32_t>(held.size()), true,
                                              &writeWait)) > 0) {
            sent += static_cast<size_t>(n);
            held.erase(0, static_cast<size_t>(n));
            if (held.empty() && sent < up.size()) held = up.substr(sent, 99999);
        }
        ASSERT_TRUE(held.empty() || (n < 0 && errno == EAGAIN)) << n;
        short events = 0;
        for (SocketWait w : {readWait, writeWait})
            events |= w == SocketWait::Readable ? POLLIN : w == SocketWait::Writable ? POLLOUT : 0;
        if (events == 0) continue;
        pollfd p{conn.sock.Get(), events, 0};
        poll(&p, 1, 1000);
    }
    server.Join();
    EXPECT_TRUE(clientGot == down) << clientGot.size();
    EXPECT_TRUE(serverGot == up) << serverGot.size();
    CloseConn(conn);
}

}  // namespace
