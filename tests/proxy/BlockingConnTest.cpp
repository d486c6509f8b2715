#include "support/BlockingConn.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "proxy/ConnIo.h"
#include "proxy/LoopbackSockets.h"
#include "proxy/TlsPeerIo.h"
#include "support/LoopbackPeer.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;

struct TimedHandshake {
    NetResult result = NetResult::Ok;
    double seconds = 0;
};

// A TLS connection to the loopback port within bounds: ConnectConn's result
// and how long it took. The connection is closed again.
TimedHandshake HandshakeWithin(int port, const ConnectBounds& bounds) {
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    TimedHandshake attempt;
    attempt.result = PrepareConn(conn, "127.0.0.1", port, address, true, tlsClient);
    if (attempt.result != NetResult::Ok) {
        ADD_FAILURE() << "no socket for port " << port;
        return attempt;
    }
    auto start = std::chrono::steady_clock::now();
    attempt.result = ConnectConn(conn, address, true, bounds);
    attempt.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CloseConn(conn);
    return attempt;
}

TEST(BlockingConnTest, PrepareNeedsAResolvableHost) {
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    EXPECT_EQ(PrepareConn(conn, "", 25, address, true, tlsClient), NetResult::Failure);
    EXPECT_FALSE(conn.sock.Valid()) << "nothing is left in the record";
    EXPECT_FALSE(conn.tls.Attached());
}

TEST(BlockingConnTest, ConnectToAPortWithoutListenerFailsAndLeavesTheSocketToClose) {
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    ASSERT_EQ(PrepareConn(conn, "127.0.0.1", loopback::FreePort(), address, true, tlsClient), NetResult::Ok);
    ASSERT_TRUE(conn.tls.Attached());
    EXPECT_EQ(ConnectConn(conn, address, true), NetResult::ConnectFailure);
    EXPECT_TRUE(conn.sock.Valid());
    CloseConn(conn);
    EXPECT_FALSE(conn.sock.Valid());
    EXPECT_FALSE(conn.tls.Attached());
}

TEST(BlockingConnTest, PortZeroIsLeftToTheConnect) {
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    ASSERT_EQ(PrepareConn(conn, "127.0.0.1", 0, address, true, tlsClient), NetResult::Ok);
    EXPECT_EQ(ConnectConn(conn, address, true), NetResult::ConnectFailure);
    CloseConn(conn);
    EXPECT_FALSE(conn.tls.Attached());
}

TEST(BlockingConnTest, HandshakeWithASilentServerEndsAfterItsTimeOut) {
    int port = 0;
    int listener = loopback::Listen(port);
    std::thread server([&] {
        int s = loopback::Accept(listener);
        loopback::Read(s, 0, std::chrono::seconds(5));  // takes the hello, answers nothing
        close(s);
    });
    TimedHandshake attempt = HandshakeWithin(port, ConnectBounds{10, 1});
    EXPECT_EQ(attempt.result, NetResult::HandshakeFailure);
    EXPECT_GE(attempt.seconds, 0.9);
    EXPECT_LT(attempt.seconds, 4.0);
    server.join();
    close(listener);
}

TEST(BlockingConnTest, ATrickledHandshakeEndsAtTheBoundOfTheWholeHandshake) {
    // A server that announces a long handshake record and then sends it one
    // byte at a time: every single read gets something, the whole never ends.
    int port = 0;
    int listener = loopback::Listen(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int s = loopback::Accept(listener);
        loopback::Read(s, 1, std::chrono::seconds(5));
        loopback::SendAll(s, std::string("\x16\x03\x03\x40\x00", 5));
        for (int i = 0; i < 40 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (!loopback::SendAll(s, "\x02")) break;
        }
        close(s);
    });
    TimedHandshake attempt = HandshakeWithin(port, ConnectBounds{10, 2});
    EXPECT_EQ(attempt.result, NetResult::HandshakeFailure);
    EXPECT_GE(attempt.seconds, 1.9);
    EXPECT_LT(attempt.seconds, 4.0);
    stop = true;
    server.join();
    close(listener);
    EXPECT_EQ(ConnectBounds{}.handshakeSeconds, 30) << "the product's bound";
}

TEST(BlockingConnTest, AServerThatNeverAnswersTheConnectFailsAtTheBound) {
    UnansweredPort silent;
    for (bool tls : {false, true}) {
        TlsClientContext tlsClient;
        ProxySocket conn;
        sockaddr_in address{};
        ASSERT_EQ(PrepareConn(conn, "127.0.0.1", silent.port(), address, tls, tlsClient), NetResult::Ok);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ConnectConn(conn, address, tls, ConnectBounds{1, 30}), NetResult::ConnectFailure);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, 0.9);
        EXPECT_LT(seconds, 3.0);
        CloseConn(conn);
    }
}

TEST(BlockingConnTest, HandshakeWithAPlainServerFails) {
    int port = 0;
    int listener = loopback::Listen(port);
    std::thread server([&] {
        int s = loopback::Accept(listener);
        loopback::SendAll(s, "220 mail.example ESMTP not TLS at all\r\n");
        loopback::Read(s, 0, std::chrono::seconds(5));
        close(s);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    ASSERT_EQ(PrepareConn(conn, "127.0.0.1", port, address, true, tlsClient), NetResult::Ok);
    EXPECT_EQ(ConnectConn(conn, address, true), NetResult::HandshakeFailure);
    CloseConn(conn);
    EXPECT_FALSE(conn.tls.Attached());
    server.join();
    close(listener);
}

TEST(BlockingConnTest, TlsConnectionCarriesDataBothWaysWithAnyCertificate) {
    LoopbackPeer server{PeerTls{"localhost"}};
    server.Serve([](PeerLink& link) {
        std::string got = TlsRead(link.tls(), 4);
        TlsWrite(link.tls(), "re:" + got);
        SSL_shutdown(link.tls());
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    ASSERT_EQ(PrepareConn(conn, "127.0.0.1", server.port(), address, true, tlsClient), NetResult::Ok);
    ASSERT_EQ(ConnectConn(conn, address, true), NetResult::Ok) << "a self-signed certificate is accepted";
    EXPECT_TRUE(fcntl(conn.sock.Get(), F_GETFL, 0) & O_NONBLOCK);
    EXPECT_EQ(SendConn(conn, "ping", 4, true), 4);
    std::string got;
    char buffer[64];
    for (int n; got.size() < 7 && WaitForData(conn, 10) && (n = RecvConn(conn, buffer, sizeof buffer, true)) > 0;)
        got.append(buffer, n);
    EXPECT_EQ(got, "re:ping");
    ASSERT_TRUE(WaitForData(conn, 10));
    EXPECT_EQ(RecvConn(conn, buffer, sizeof buffer, true), 0) << "close-notify reads as the end";
    CloseConn(conn);
    server.Join();
}

TEST(BlockingConnTest, PlainPrepareGivesAPlainSocket) {
    int port = 0;
    int listener = loopback::Listen(port);
    TlsClientContext tlsClient;
    ProxySocket conn;
    sockaddr_in address{};
    ASSERT_EQ(PrepareConn(conn, "127.0.0.1", port, address, false, tlsClient), NetResult::Ok);
    EXPECT_FALSE(conn.tls.Attached());
    EXPECT_EQ(ntohs(address.sin_port), port);
    EXPECT_EQ(ConnectConn(conn, address, false), NetResult::Ok);
    int served = loopback::Accept(listener);
    EXPECT_EQ(SendConn(conn, "x", 1, false), 1);
    EXPECT_EQ(loopback::Read(served, 1).data, "x");
    close(served);
    CloseConn(conn);
    close(listener);
}

}  // namespace
