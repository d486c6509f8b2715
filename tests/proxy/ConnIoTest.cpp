#include "proxy/ConnIo.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "proxy/ConnSetup.h"
#include "proxy/LoopbackSockets.h"
#include "proxy/RelayTestPeers.h"
#include "proxy/TestTlsServer.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;


TEST(ConnIoTest, WaitOnAPlainConnection) {
    PlainEnd pair;
    EXPECT_EQ(WaitForData(nullptr, 1), -51);
    auto start = Clock::now();
    EXPECT_EQ(WaitForData(&pair.conn, 1), -6);
    EXPECT_GE(Clock::now() - start, 900ms);

    loopback::SendAll(pair.peer, "data");
    start = Clock::now();
    EXPECT_EQ(WaitForData(&pair.conn, 10), 1);
    EXPECT_LT(Clock::now() - start, 500ms);

    char buffer[16];
    EXPECT_EQ(RecvConn(&pair.conn, buffer, sizeof buffer, false), 4);
    pair.ClosePeer();
    EXPECT_EQ(WaitForData(&pair.conn, 10), 1) << "the peer's close is something to read";
    EXPECT_EQ(RecvConn(&pair.conn, buffer, sizeof buffer, false), 0);
}

TEST(ConnIoTest, MissingArgumentsAndEmptySends) {
    char buffer[4];
    EXPECT_EQ(RecvConn(nullptr, buffer, 4, false), -51);
    EXPECT_EQ(SendConn(nullptr, "x", 1, false), -51);
    PlainEnd pair;
    EXPECT_EQ(SendConn(&pair.conn, "x", 0, false), 0);
    EXPECT_EQ(RecvConn(&pair.conn, buffer, 4, true), -1) << "TLS asked for on a plain end";
    CloseConn(nullptr, true);
}

TEST(ConnIoTest, WaitSeesWhatTheTlsLayerAlreadyHolds) {
    TestTlsServer server;
    std::atomic<bool> done{false};
    server.Serve([&](SSL* tls, int) {
        TlsWrite(tls, "abcdef");  // one record
        while (!done) std::this_thread::sleep_for(10ms);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    ASSERT_EQ(WaitForData(&conn, 10), 1);
    char c;
    ASSERT_EQ(RecvConn(&conn, &c, 1, true), 1);
    EXPECT_EQ(c, 'a');
    // The socket is drained now; five bytes wait inside the TLS layer.
    auto start = Clock::now();
    EXPECT_EQ(WaitForData(&conn, 10), 1);
    EXPECT_LT(Clock::now() - start, 500ms);
    char rest[16];
    EXPECT_EQ(RecvConn(&conn, rest, sizeof rest, true), 5);
    done = true;
    CloseConn(&conn, true);
    server.Join();
}

TEST(ConnIoTest, TlsRecordsWithoutDataDoNotEndAWait) {
    // Session tickets arrive after the handshake and carry no data.
    TestTlsServer server;
    std::atomic<bool> done{false};
    server.Serve([&](SSL*, int) {
        while (!done) std::this_thread::sleep_for(10ms);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    auto start = Clock::now();
    EXPECT_EQ(WaitForData(&conn, 1), -6);
    EXPECT_GE(Clock::now() - start, 900ms);
    done = true;
    CloseConn(&conn, true);
    server.Join();
}

TEST(ConnIoTest, TlsPeerThatDropsTcpWithoutCloseNotifyReadsAsTheEnd) {
    TestTlsServer server;
    server.Serve([](SSL* tls, int sock) {
        TlsWrite(tls, "bye");
        shutdown(sock, SHUT_RDWR);
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    char buffer[16];
    std::string got;
    int n;
    while ((n = RecvConn(&conn, buffer, sizeof buffer, true)) > 0) got.append(buffer, n);
    EXPECT_EQ(got, "bye");
    EXPECT_EQ(n, 0);
    CloseConn(&conn, true);
    server.Join();
}

TEST(ConnIoTest, ShutdownSendEndsOneDirectionOnly) {
    PlainEnd pair;
    ShutdownSend(&pair.conn, false);
    loopback::Received r = loopback::Read(pair.peer, 0, 2s);
    EXPECT_TRUE(r.closed);
    loopback::SendAll(pair.peer, "still here");
    char buffer[32];
    ASSERT_EQ(WaitForData(&pair.conn, 5), 1);
    EXPECT_EQ(RecvConn(&pair.conn, buffer, sizeof buffer, false), 10);
}

TEST(ConnIoTest, ShutdownSendOnTlsSendsCloseNotifyAndKeepsReading) {
    TestTlsServer server;
    std::atomic<int> serverSaw{-1};
    server.Serve([&](SSL* tls, int) {
        char c;
        int n = SSL_read(tls, &c, 1);
        serverSaw = (n == 0 && (SSL_get_shutdown(tls) & SSL_RECEIVED_SHUTDOWN)) ? 1 : 0;
        TlsWrite(tls, "after");
    });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));
    ShutdownSend(&conn, true);
    std::string got;
    char buffer[16];
    while (got.size() < 5 && WaitForData(&conn, 5) == 1) {
        int n = RecvConn(&conn, buffer, sizeof buffer, true);
        if (n <= 0) break;
        got.append(buffer, n);
    }
    EXPECT_EQ(got, "after");
    server.Join();
    EXPECT_EQ(serverSaw, 1) << "the server read a close-notify";
    CloseConn(&conn, true);
}

TEST(ConnIoTest, OneTlsConnectionReadAndWrittenAtOnce) {
    const std::string up = Pattern(6 << 20, 1);
    const std::string down = Pattern(6 << 20, 2);
    TestTlsServer server;
    std::string serverGot;
    server.Serve([&](SSL* tls, int sock) { serverGot = TlsDuplex(tls, sock, down, up.size()); });
    TlsClientContext tlsClient;
    ProxySocket conn;
    ASSERT_TRUE(ConnectTlsEnd(conn, server.port(), tlsClient));

    std::string clientGot;
    std::thread reader([&] {
        char buffer[20000];
        while (clientGot.size() < down.size() && WaitForData(&conn, 10) == 1) {
            int n = RecvConn(&conn, buffer, sizeof buffer, true);
            if (n <= 0) break;
            clientGot.append(buffer, n);
        }
    });
    size_t sent = 0;
    while (sent < up.size()) {
        int chunk = static_cast<int>(std::min<size_t>(up.size() - sent, 99999));
        int n = SendConn(&conn, up.data() + sent, chunk, true);
        ASSERT_GT(n, 0);
        sent += n;
    }
    reader.join();
    server.Join();
    EXPECT_TRUE(clientGot == down) << clientGot.size();
    EXPECT_TRUE(serverGot == up) << serverGot.size();
    CloseConn(&conn, true);
}

}  // namespace
