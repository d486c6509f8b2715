#include "proxy/DataTransmissionThread.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "proxy/ProxyTestContext.h"
#include "proxy/RelayTestPeers.h"
#include "proxy/TestTlsServer.h"
#include "support/ThreadWakeups.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class DataTransmissionThreadTest : public ::testing::Test {
protected:
    // Runs one relay in its own thread; ended() tells when it returned.
    void Start(TransmissionParam p, RelayTimeouts t = RelayTimeouts{}) {
        params_[count_] = p;
        const TransmissionParam* param = &params_[count_];
        std::atomic<bool>* ended = &ended_[count_];
        threads_[count_++] = std::thread([this, param, ended, t] {
            DataTransmissionThread(test.ctx, param, t);
            *ended = true;
        });
    }
    bool Ended(int i) const { return ended_[i]; }
    bool WaitEnded(int i, std::chrono::milliseconds timeout = 10s) {
        auto until = Clock::now() + timeout;
        while (!ended_[i] && Clock::now() < until) std::this_thread::sleep_for(5ms);
        return ended_[i];
    }
    void TearDown() override {
        for (int i = 0; i < count_; ++i) threads_[i].join();
    }
    static TransmissionParam Param(int side, int protocol, ProxySocket& source, bool sourceTls,
                                   ProxySocket& destination, bool destinationTls) {
        return TransmissionParam{side, 5, protocol, &source, sourceTls, &destination, destinationTls};
    }

    ProxyTestContext test;

private:
    TransmissionParam params_[2];
    std::thread threads_[2];
    std::atomic<bool> ended_[2] = {false, false};
    int count_ = 0;
};

TEST_F(DataTransmissionThreadTest, MissingArgument) {
    EXPECT_EQ(DataTransmissionThread(test.ctx, nullptr), -51);
}

// A destination that takes a chunk in several sends: a small send buffer
// with a send time-out, drained slowly by the far end.
struct SlowDestination {
    SlowDestination() {
        int port = 0;
        int small = 8192;
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a = loopback::Address(0);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        conn.sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(conn.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        timeval limit{0, 50000};
        setsockopt(conn.sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        a = loopback::Address(port);
        connect(conn.sock, reinterpret_cast<sockaddr*>(&a), sizeof a);
        peer = loopback::Accept(listener);
        close(listener);
    }
    ~SlowDestination() {
        CloseConn(&conn, false);
        close(peer);
    }
    // Reads count bytes at about 1 MB/s.
    std::string Drain(size_t count) {
        std::string arrived;
        char buffer[1024];
        while (arrived.size() < count) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            ssize_t n = recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            arrived.append(buffer, static_cast<size_t>(n));
            std::this_thread::sleep_for(1ms);
        }
        return arrived;
    }
    ProxySocket conn;
    int peer = -1;
};

TEST_F(DataTransmissionThreadTest, ChunksTheDestinationTakesInPartsArriveWhole) {
    {
        SlowDestination probe;
        std::thread drain([&] { probe.Drain(99999); });
        const std::string chunk(99999, 'x');
        EXPECT_LT(SendConn(&probe.conn, chunk.data(), 99999, false), 99999) << "the set-up gives partial sends";
        shutdown(probe.conn.sock, SHUT_WR);
        drain.join();
    }
    PlainEnd client;
    SlowDestination server;
    const std::string mail = Pattern(400000, 7);
    std::string arrived;
    std::thread reader([&] { arrived = server.Drain(mail.size()); });
    Start(Param(CLIENT, SMTP, client.conn, false, server.conn, false));
    ASSERT_TRUE(loopback::SendAll(client.peer, mail));
    reader.join();
    EXPECT_EQ(arrived.size(), mail.size());
    EXPECT_TRUE(arrived == mail);
    client.ClosePeer();
    EXPECT_TRUE(WaitEnded(0));
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
}

TEST_F(DataTransmissionThreadTest, SourceCloseEndsQuietlyAndIsPassedOn) {
    PlainEnd client;
    PlainEnd server;
    Start(Param(CLIENT, POP3, client.conn, false, server.conn, false));
    loopback::SendAll(client.peer, "QUIT\r\n");
    EXPECT_EQ(loopback::Read(server.peer, 6).data, "QUIT\r\n");
    client.ClosePeer();
    ASSERT_TRUE(WaitEnded(0, 2s));
    loopback::Received r = loopback::Read(server.peer, 0, 2s);
    EXPECT_TRUE(r.closed) << "the server learns at once that the client is done";
    loopback::SendAll(server.peer, "+OK bye\r\n");
    EXPECT_EQ(loopback::Read(client.peer >= 0 ? client.peer : server.peer, 0, 100ms).data, "");
    std::string log = test.Log();
    EXPECT_NE(log.find("[PROXY][DUMP] from CLIENT data transmission start\n"), std::string::npos);
    EXPECT_NE(log.find("[PROXY][DUMP] from CLIENT data transmission end\n"), std::string::npos);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(DataTransmissionThreadTest, ResetSourceIsLoggedAndPassedOn) {
    PlainEnd client;
    PlainEnd server;
    Start(Param(CLIENT, IMAP4, client.conn, false, server.conn, false));
    loopback::SendAll(client.peer, "a1 NOOP\r\n");
    EXPECT_EQ(loopback::Read(server.peer, 9).data, "a1 NOOP\r\n");
    client.ResetPeer();
    ASSERT_TRUE(WaitEnded(0, 2s));
    EXPECT_TRUE(loopback::SeesClose(server.peer, 2s));
    EXPECT_EQ(test.CountInLog("ERROR: receive data from CLIENT failed(104)"), 1) << test.Log();
}

TEST_F(DataTransmissionThreadTest, FailedSendEndsTheRelay) {
    PlainEnd client;
    PlainEnd server;
    Start(Param(SERVER, POP3, server.conn, false, client.conn, false));
    client.ResetPeer();
    // The first chunk may still be taken by the system; the reset then fails the next.
    for (int i = 0; i < 50 && !Ended(0); ++i) {
        loopback::SendAll(server.peer, "+OK more data\r\n");
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(WaitEnded(0, 2s));
    EXPECT_EQ(test.CountInLog("ERROR: send data from SERVER failed("), 1) << test.Log();
}

TEST_F(DataTransmissionThreadTest, QuietTimeOutIsSharedByBothDirectionsAndEndsTheSession) {
    PlainEnd client;
    PlainEnd server;
    RelayTimeouts t{1};
    Start(Param(CLIENT, IMAP4, client.conn, false, server.conn, false), t);
    Start(Param(SERVER, IMAP4, server.conn, false, client.conn, false), t);
    // A long download: only the server speaks, and the client's relay lives on.
    auto quiet = Clock::now();
    for (int i = 0; i < 10; ++i) {
        loopback::SendAll(server.peer, "* 1 FETCH (BODY[] {5}\r\nhello)\r\n");
        quiet = Clock::now();
        std::this_thread::sleep_for(300ms);
        ASSERT_FALSE(Ended(0)) << "after " << i;
    }
    // The relays' waits now run out at different times; the first one to
    // find a whole quiet period ends the session for both.
    ASSERT_TRUE(test.WaitForLog("timeout(-6)", 1, 5s));
    auto waited = Clock::now() - quiet;
    // The relays sample their activity between polls, so the end may come a
    // little before a full second after the test's own last send.
    EXPECT_GE(waited, 700ms);
    EXPECT_LE(waited, 2500ms);
    EXPECT_TRUE(loopback::SeesClose(client.peer, 300ms)) << "the mail client sees the end at once";
    EXPECT_TRUE(loopback::SeesClose(server.peer, 300ms));
    ASSERT_TRUE(WaitEnded(0, 1s));
    ASSERT_TRUE(WaitEnded(1, 1s));
    EXPECT_EQ(test.CountInLog("timeout(-6)"), 1) << test.Log();
    EXPECT_EQ(test.CountInLog("ERROR: send"), 0) << test.Log();
    std::lock_guard<std::mutex> lock(test.ctx.slotLock[IMAP4][5]);
    EXPECT_EQ(test.ctx.slotActivity[IMAP4][5], 0);
}

TEST_F(DataTransmissionThreadTest, AClientThatStopsReadingEndsTheSessionAfterTheQuietTime) {
    PlainEnd client;
    PlainEnd server;
    int small = 4096;
    setsockopt(client.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Only the server's relay runs: nothing but its own send bound can end it.
    Start(Param(SERVER, POP3, server.conn, false, client.conn, false), RelayTimeouts{1});
    // The server keeps sending, the client never reads: the relay's send
    // stalls once the buffers are full.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const std::string block(65536, 'm');
        while (!stop) {
            pollfd p{server.peer, POLLOUT, 0};
            if (poll(&p, 1, 50) > 0 && send(server.peer, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                errno != EAGAIN)
                break;
        }
    });
    EXPECT_TRUE(WaitEnded(0, 6s)) << "the stalled send gives up";
    stop = true;
    feeder.join();
    EXPECT_EQ(test.CountInLog("ERROR: send data from SERVER failed(110)"), 1) << test.Log();
    EXPECT_TRUE(loopback::SeesClose(server.peer, 1s)) << "and ends the session";
}

class SilentTlsServer {
public:
    explicit SilentTlsServer(const std::string& greeting) {
        server.Serve([this, greeting](SSL* tls, int) {
            TlsWrite(tls, greeting);
            while (!done) std::this_thread::sleep_for(10ms);
        });
    }
    ~SilentTlsServer() {
        done = true;
        server.Join();
    }
    TestTlsServer server;
    std::atomic<bool> done{false};
};

TEST_F(DataTransmissionThreadTest, ASilentSmtpServerOverTlsIsNeverAnsweredFor) {
    SilentTlsServer upstream("220 mail ESMTP\r\n");
    ProxySocket tlsEnd;
    ASSERT_TRUE(ConnectTlsEnd(tlsEnd, upstream.server.port(), test.ctx.tlsClient));
    PlainEnd client;
    auto start = Clock::now();
    Start(Param(SERVER, SMTP, tlsEnd, true, client.conn, false), RelayTimeouts{2});
    loopback::Received r = loopback::Read(client.peer, 0, 5s);
    EXPECT_EQ(r.data, "220 mail ESMTP\r\n") << "the client hears only what the server says";
    EXPECT_TRUE(r.closed);
    ASSERT_TRUE(WaitEnded(0, 2s));
    EXPECT_GE(Clock::now() - start, 1900ms) << "the ordinary quiet time-out";
    EXPECT_EQ(test.CountInLog("ERROR: from SERVER timeout(-6)"), 1) << test.Log();
    upstream.done = true;
    CloseConn(&tlsEnd, true);
}

TEST_F(DataTransmissionThreadTest, TlsServerEndRelayedBothWaysAtOnce) {
    const std::string up = Pattern(8 << 20, 3);
    const std::string down = Pattern(8 << 20, 4);
    TestTlsServer upstream;
    std::string serverGot;
    bool serverSawEnd = false;
    upstream.Serve([&](SSL* tls, int sock) {
        serverGot = TlsDuplex(tls, sock, down, up.size());
        char c;
        serverSawEnd = SSL_read(tls, &c, 1) == 0;  // the client's end, passed on
        SSL_shutdown(tls);
    });
    ProxySocket tlsEnd;
    ASSERT_TRUE(ConnectTlsEnd(tlsEnd, upstream.port(), test.ctx.tlsClient));
    PlainEnd client;
    Start(Param(CLIENT, IMAP4, client.conn, false, tlsEnd, true));
    Start(Param(SERVER, IMAP4, tlsEnd, true, client.conn, false));

    std::string clientGot;
    std::thread reader([&] { clientGot = loopback::Read(client.peer, down.size(), 60s).data; });
    ASSERT_TRUE(loopback::SendAll(client.peer, up));
    reader.join();
    shutdown(client.peer, SHUT_WR);
    upstream.Join();
    ASSERT_TRUE(WaitEnded(0, 5s));
    ASSERT_TRUE(WaitEnded(1, 5s));
    EXPECT_TRUE(loopback::SeesClose(client.peer, 2s));
    EXPECT_EQ(clientGot.size(), down.size());
    EXPECT_TRUE(clientGot == down);
    EXPECT_EQ(serverGot.size(), up.size());
    EXPECT_TRUE(serverGot == up);
    EXPECT_TRUE(serverSawEnd);
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
    CloseConn(&tlsEnd, true);
}

TEST_F(DataTransmissionThreadTest, AnIdleTlsRelaySleepsUntilSomethingHappens) {
    SilentTlsServer upstream("* OK ready\r\n");
    ProxySocket tlsEnd;
    ASSERT_TRUE(ConnectTlsEnd(tlsEnd, upstream.server.port(), test.ctx.tlsClient));
    PlainEnd client;
    const TransmissionParam param = Param(SERVER, IMAP4, tlsEnd, true, client.conn, false);
    std::atomic<pid_t> tid{0};
    std::thread relay([&] {
        tid = gettid();
        DataTransmissionThread(test.ctx, &param);
    });
    EXPECT_EQ(loopback::Read(client.peer, 12, 5s).data, "* OK ready\r\n");
    std::this_thread::sleep_for(300ms);  // past the greeting and the session tickets
    long before = VoluntarySwitches(tid);
    std::this_thread::sleep_for(1500ms);
    long after = VoluntarySwitches(tid);
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 2) << "wake-ups of an idle relay in 1.5 s";
    upstream.done = true;
    AbortConn(&tlsEnd);
    relay.join();
    CloseConn(&tlsEnd, true);
}

}  // namespace
