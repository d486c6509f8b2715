#include "proxy/RelayLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "proxy/ProxyTestContext.h"
#include "proxy/RelayTestPeers.h"
#include "proxy/TlsPeerIo.h"
#include "support/LoopbackPeer.h"
#include "support/ThreadWakeups.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The threads of this process that run a relay loop.
std::vector<pid_t> LoopThreads() {
    std::vector<pid_t> found;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == kRelayThreadName)
            found.push_back(static_cast<pid_t>(std::stol(task.path().filename().string())));
    }
    return found;
}

// Wake-ups of the loop's thread over a quiet 1.5 s: 99 unless there is
// exactly one such thread.
long LoopWakeUpsOverAWhile() {
    std::vector<pid_t> loops = LoopThreads();
    if (loops.size() != 1) return 99;
    long before = VoluntarySwitches(loops[0]);
    std::this_thread::sleep_for(1500ms);
    return VoluntarySwitches(loops[0]) - before;
}

// Sessions between loopback connections whose far ends the test drives; the
// loop under test runs them.
class RelayLoopTest : public ::testing::Test {
protected:
    // A session of protocol whose client end is a fresh loopback connection
    // (the test holds its peer in clientPeer); the server end is the test's to
    // set up.
    std::unique_ptr<RelaySession> NewSession(int32_t protocol, int& clientPeer) {
        auto s = std::make_unique<RelaySession>(test.ctx);
        s->protocol = protocol;
        s->slot = 5;
        Take(s->client, clientPeer);
        return s;
    }
    // Connects into to a fresh loopback connection; peer is its far end.
    static void Take(ProxySocket& into, int& peer) {
        PlainEnd pair;
        into.sock = std::move(pair.conn.sock);
        peer = pair.peer;
        pair.peer = -1;
    }
    bool Start(std::unique_ptr<RelaySession>& s, RelayTimeouts t = RelayTimeouts{}) {
        s->ended = [this](RelaySession& e) {
            CloseConn(e.client);
            CloseConn(e.server);
            ++ended;
        };
        return loop.Add(s, t);
    }
    bool WaitEnded(int count, std::chrono::milliseconds timeout = 10s) {
        auto until = Clock::now() + timeout;
        while (ended < count && Clock::now() < until) std::this_thread::sleep_for(5ms);
        return ended >= count;
    }

    ProxyTestContext test;
    std::atomic<int> ended{0};
    RelayLoop loop;  // last: gone before the context its sessions log into
};

// A plain client and server: the test holds both far ends.
struct PlainSession {
    int client = -1;
    int server = -1;
    ~PlainSession() {
        for (int s : {client, server})
            if (s >= 0) close(s);
    }
};

class PlainRelayTest : public RelayLoopTest {
protected:
    void Open(int32_t protocol, RelayTimeouts timeouts = RelayTimeouts{}) { OpenNarrow(protocol, false, 0, timeouts); }
    // A session whose path towards one peer has socket buffers of bytes (0:
    // as the system sets them), so that the relay's sends there go in parts.
    void OpenNarrow(int32_t protocol, bool towardsClient, int bytes, RelayTimeouts timeouts = RelayTimeouts{}) {
        auto s = NewSession(protocol, peers.client);
        Take(s->server, peers.server);
        if (bytes > 0) {
            setsockopt((towardsClient ? s->client.sock : s->server.sock).Get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
            setsockopt(towardsClient ? peers.client : peers.server, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        }
        ASSERT_TRUE(Start(s, timeouts));
    }
    PlainSession peers;
};

TEST_F(PlainRelayTest, BothDirectionsArriveWholeAndInOrder) {
    Open(IMAP4);
    const std::string up = Pattern(3 << 20, 1);
    const std::string down = Pattern(5 << 20, 2);
    std::string serverGot, clientGot;
    std::thread serverReader([&] { serverGot = loopback::Read(peers.server, up.size(), 30s).data; });
    std::thread clientReader([&] { clientGot = loopback::Read(peers.client, down.size(), 30s).data; });
    std::thread serverWriter([&] { loopback::SendAll(peers.server, down); });
    ASSERT_TRUE(loopback::SendAll(peers.client, up));
    serverWriter.join();
    serverReader.join();
    clientReader.join();
    EXPECT_TRUE(serverGot == up) << serverGot.size();
    EXPECT_TRUE(clientGot == down) << clientGot.size();
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
}

// A destination that takes a chunk in several sends: the rest is held, the
// source is read no further until it has gone, and nothing is lost.
TEST_F(PlainRelayTest, ChunksTheDestinationTakesInPartsArriveWhole) {
    OpenNarrow(SMTP, false, 8192);
    const std::string mail = Pattern(400000, 7);
    std::string arrived;
    std::thread reader([&] {
        char buffer[1024];
        while (arrived.size() < mail.size()) {
            pollfd p{peers.server, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            ssize_t n = recv(peers.server, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            arrived.append(buffer, static_cast<size_t>(n));
            if (arrived.size() % 65536 < 1024) std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE(loopback::SendAll(peers.client, mail));
    reader.join();
    EXPECT_EQ(arrived.size(), mail.size());
    EXPECT_TRUE(arrived == mail);
    close(peers.client);
    peers.client = -1;
    EXPECT_TRUE(loopback::SeesClose(peers.server, 5s)) << "the end comes after the last byte";
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
}

TEST_F(PlainRelayTest, SourceCloseIsPassedOnAndTheOtherDirectionLivesOn) {
    Open(POP3);
    loopback::SendAll(peers.client, "QUIT\r\n");
    EXPECT_EQ(loopback::Read(peers.server, 6).data, "QUIT\r\n");
    shutdown(peers.client, SHUT_WR);
    loopback::Received r = loopback::Read(peers.server, 0, 2s);
    EXPECT_TRUE(r.closed) << "the server learns at once that the client is done";
    loopback::SendAll(peers.server, "+OK bye\r\n");
    EXPECT_EQ(loopback::Read(peers.client, 9).data, "+OK bye\r\n") << "the reply still reaches the client";
    EXPECT_EQ(ended, 0);
    close(peers.server);
    peers.server = -1;
    ASSERT_TRUE(WaitEnded(1, 2s));
    EXPECT_TRUE(loopback::SeesClose(peers.client, 2s));
    std::string log = test.Log();
    EXPECT_NE(log.find("[PROXY][DUMP] from CLIENT data transmission start\n"), std::string::npos);
    EXPECT_NE(log.find("[PROXY][DUMP] from SERVER data transmission end\n"), std::string::npos);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(PlainRelayTest, AServerThatSendsAndClosesFirstIsHeardOutThenTheSessionEnds) {
    Open(POP3);
    const std::string listing = Pattern(1 << 20, 9);
    ASSERT_TRUE(loopback::SendAll(peers.server, listing));
    shutdown(peers.server, SHUT_WR);
    loopback::Received r = loopback::Read(peers.client, listing.size() + 1, 10s);
    EXPECT_TRUE(r.data == listing) << r.data.size();
    EXPECT_TRUE(r.closed);
    // A client waiting in IDLE must see the server's end as a closed
    // session, not as a half-open one that it never writes into again.
    EXPECT_TRUE(WaitEnded(1, 2s)) << "the server's end ends the session at once";
    EXPECT_TRUE(loopback::SeesClose(peers.server, 2s));
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
}

TEST_F(PlainRelayTest, AResetClientIsLoggedAndEndsTheSession) {
    Open(IMAP4);
    loopback::SendAll(peers.client, "a1 NOOP\r\n");
    EXPECT_EQ(loopback::Read(peers.server, 9).data, "a1 NOOP\r\n");
    loopback::Reset(peers.client);
    peers.client = -1;
    ASSERT_TRUE(WaitEnded(1, 2s));
    EXPECT_TRUE(loopback::SeesClose(peers.server, 2s));
    EXPECT_EQ(test.CountInLog("ERROR: receive data from CLIENT failed(104)"), 1) << test.Log();
}

// A socket closed by the session stays in the poll set while a child forked
// meanwhile still holds it. Its events, which come until the child lets it
// go, must find no session: the next one is served, and the loop then sleeps.
TEST_F(PlainRelayTest, AnEndThatAForkedChildStillHoldsIsIgnoredOnceClosed) {
    Open(POP3);
    loopback::SendAll(peers.server, "+OK\r\n");
    ASSERT_EQ(loopback::Read(peers.client, 5).data, "+OK\r\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // It holds the loop's sockets only, as a child on its way to exec would.
        close(peers.client);
        close(peers.server);
        usleep(700 * 1000);
        _exit(0);
    }
    for (int* peer : {&peers.client, &peers.server}) {
        close(*peer);
        *peer = -1;
    }
    ASSERT_TRUE(WaitEnded(1, 2s));

    Open(POP3);
    loopback::SendAll(peers.server, "+OK again\r\n");
    EXPECT_EQ(loopback::Read(peers.client, 11).data, "+OK again\r\n");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::this_thread::sleep_for(600ms);  // past the clean-up after the first session
    EXPECT_LE(LoopWakeUpsOverAWhile(), 1);
}

TEST_F(PlainRelayTest, AFailedSendEndsTheSession) {
    Open(POP3);
    // The client is done sending, then goes away for good: only a send to it
    // can find that out.
    shutdown(peers.client, SHUT_WR);
    EXPECT_TRUE(loopback::Read(peers.server, 0, 2s).closed);
    loopback::Reset(peers.client);
    peers.client = -1;
    for (int i = 0; i < 50 && ended == 0; ++i) {
        loopback::SendAll(peers.server, "+OK more data\r\n");
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(WaitEnded(1, 2s));
    EXPECT_EQ(test.CountInLog("ERROR: send data from SERVER failed("), 1) << test.Log();
}

TEST_F(PlainRelayTest, TheQuietTimeIsSharedByBothDirectionsAndEndsTheSession) {
    Open(IMAP4, RelayTimeouts{1});
    // A long download: only the server speaks, and the session lives on.
    auto quiet = Clock::now();
    for (int i = 0; i < 8; ++i) {
        loopback::SendAll(peers.server, "* 1 FETCH (BODY[] {5}\r\nhello)\r\n");
        quiet = Clock::now();
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(ended, 0) << "after " << i;
    }
    ASSERT_TRUE(test.WaitForLog("timeout(-6)", 1, 5s));
    auto waited = Clock::now() - quiet;
    EXPECT_GE(waited, 900ms);
    EXPECT_LE(waited, 2000ms);
    EXPECT_TRUE(loopback::SeesClose(peers.client, 300ms)) << "the mail client sees the end at once";
    EXPECT_TRUE(loopback::SeesClose(peers.server, 300ms));
    ASSERT_TRUE(WaitEnded(1, 1s));
    EXPECT_EQ(test.CountInLog("ERROR: from SERVER timeout(-6)"), 1) << test.Log();
    EXPECT_EQ(test.CountInLog("ERROR: send"), 0) << test.Log();
}

TEST_F(PlainRelayTest, AClientThatNeverReadsEndsTheSessionAfterTheStallBound) {
    // The quiet limit is the product's: only the stall bound can end it.
    RelayTimeouts bounds;
    bounds.stallSeconds = 1;
    OpenNarrow(POP3, true, 4096, bounds);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const std::string block(65536, 'm');
        while (!stop) {
            pollfd p{peers.server, POLLOUT, 0};
            if (poll(&p, 1, 50) > 0 &&
                send(peers.server, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
                break;
        }
    });
    EXPECT_TRUE(WaitEnded(1, 6s)) << "the stalled send gives up";
    stop = true;
    feeder.join();
    EXPECT_EQ(test.CountInLog("ERROR: send data from SERVER failed(110)"), 1) << test.Log();
    EXPECT_TRUE(loopback::SeesClose(peers.server, 1s)) << "and ends the session";
}

// Sending what is held counts as activity however slowly it goes: a client
// on a slow line must not lose a long download to the quiet time.
TEST_F(PlainRelayTest, ASlowReaderIsNotCutWhileItKeepsReading) {
    // The server never runs dry, so the relay always holds a chunk; at some
    // 40 KB/s one chunk (up to 100,000 bytes) takes longer than the quiet
    // time to go, and only its progress shows that the session is alive.
    OpenNarrow(POP3, true, 16384, RelayTimeouts{2});
    const std::string download = Pattern(4 << 20, 5);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        size_t sent = 0;
        while (!stop && sent < download.size()) {
            pollfd p{peers.server, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = send(peers.server, download.data() + sent, download.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN) break;
        }
    });
    std::string got;
    char buffer[1024];
    auto until = Clock::now() + 30s;
    while (got.size() < 220000 && Clock::now() < until) {
        ssize_t n = recv(peers.client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
        if (n == 0) break;
        std::this_thread::sleep_for(25ms);
    }
    stop = true;
    writer.join();
    ASSERT_GE(got.size(), 220000u);
    EXPECT_TRUE(download.compare(0, got.size(), got) == 0);
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
}

TEST_F(RelayLoopTest, DestroyingTheLoopCutsEverySessionOnce) {
    PlainSession a, b;
    {
        RelayLoop own;
        for (PlainSession* peers : {&a, &b}) {
            auto s = NewSession(SMTP, peers->client);
            Take(s->server, peers->server);
            s->ended = [this](RelaySession& e) {
                CloseConn(e.client);
                CloseConn(e.server);
                ++ended;
            };
            ASSERT_TRUE(own.Add(s, RelayTimeouts{}));
            EXPECT_FALSE(s) << "the loop took the session";
        }
        loopback::SendAll(a.server, "220 ready\r\n");
        EXPECT_EQ(loopback::Read(a.client, 11).data, "220 ready\r\n");
    }
    EXPECT_EQ(ended, 2);
    EXPECT_TRUE(loopback::SeesClose(a.client, 1s));
    EXPECT_TRUE(loopback::SeesClose(b.server, 1s));
}

// A session whose client has no slot yet. Its admission answers by the
// test's rule and keeps the tries asked ('A' arrival, 'R' round, 'L' last);
// the server's end comes with the slot, and a refused client is closed.
class AdmissionTest : public RelayLoopTest {
protected:
    using Rule = std::function<Admission(AdmitTry)>;
    std::unique_ptr<RelaySession> Waiting(Rule rule, std::chrono::milliseconds bound = 10s) {
        auto s = NewSession(POP3, peers.client);
        s->slot.reset();
        // Made here, so that the loop's thread touches none of the test's peers.
        ProxySocket made;
        Take(made, peers.server);
        int server = made.sock.Release();
        s->admit = [this, rule, server](RelaySession& r, AdmitTry when) {
            Admission answer = rule(when);
            {
                std::lock_guard<std::mutex> hold(lock);
                tries += when == AdmitTry::Arrival ? 'A' : when == AdmitTry::Round ? 'R' : 'L';
            }
            if (answer == Admission::Admitted) r.server.sock.Reset(server);
            if (answer == Admission::Refused) {
                CloseConn(r.client);
                close(server);
            }
            return answer;
        };
        s->admitBy = MonotonicClock::now() + bound;
        return s;
    }
    std::string Tries() {
        std::lock_guard<std::mutex> hold(lock);
        return tries;
    }
    static Rule Until(AdmitTry go, Admission then) {
        return [go, then](AdmitTry when) { return when == go ? then : Admission::Waiting; };
    }

    std::mutex lock;
    std::string tries;
    PlainSession peers;
};

TEST_F(AdmissionTest, AClientAdmittedAfterTheLoopsRoundIsRelayed) {
    auto s = Waiting(Until(AdmitTry::Round, Admission::Admitted));
    ASSERT_TRUE(Start(s));
    EXPECT_EQ(loopback::Read(peers.client, 5, 200ms).data, "") << "nothing before the server's end came";
    loopback::SendAll(peers.server, "+OK\r\n");
    EXPECT_EQ(loopback::Read(peers.client, 5).data, "+OK\r\n");
    loopback::SendAll(peers.client, "QUIT\r\n");
    EXPECT_EQ(loopback::Read(peers.server, 6).data, "QUIT\r\n");
    EXPECT_EQ(Tries(), "AR") << "asked no more once admitted";
    for (int* peer : {&peers.client, &peers.server}) {
        close(*peer);
        *peer = -1;
    }
    EXPECT_TRUE(WaitEnded(1));
}

TEST_F(AdmissionTest, ARefusedClientIsForgottenWithoutEnding) {
    auto s = Waiting(Until(AdmitTry::Round, Admission::Refused));
    ASSERT_TRUE(Start(s));
    EXPECT_TRUE(loopback::SeesClose(peers.client, 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Tries(), "AR");
    EXPECT_EQ(ended, 0) << "a refused client had no session to end";
}

// While it waits the loop sleeps: it asks again only after rounds it had
// reason for (the arrival, a clean-up), not in a spin, until the bound.
TEST_F(AdmissionTest, AWaitEndsAtItsBoundWithTheLastTry) {
    auto start = Clock::now();
    auto s = Waiting(Until(AdmitTry::Last, Admission::Refused), 800ms);
    ASSERT_TRUE(Start(s));
    EXPECT_TRUE(loopback::SeesClose(peers.client, 3s));
    EXPECT_GE(Clock::now() - start, 750ms);
    std::string asked = Tries();
    EXPECT_EQ(asked.substr(0, 2), "AR");
    EXPECT_EQ(asked.back(), 'L');
    EXPECT_LE(asked.size(), 5u) << asked;
    EXPECT_EQ(ended, 0);
}

TEST_F(AdmissionTest, DestroyingTheLoopGivesAWaitingClientItsLastTry) {
    {
        RelayLoop own;
        auto s = Waiting(Until(AdmitTry::Last, Admission::Admitted));
        s->ended = [this](RelaySession& e) {
            CloseConn(e.client);
            CloseConn(e.server);
            ++ended;
        };
        ASSERT_TRUE(own.Add(s, RelayTimeouts{}));
        // The loop's thread asks in its own time, which a loaded machine delays.
        auto until = Clock::now() + 10s;
        while (Tries().size() < 2 && Clock::now() < until) std::this_thread::sleep_for(5ms);
        EXPECT_EQ(Tries().substr(0, 2), "AR");
        EXPECT_EQ(Tries().find('L'), std::string::npos);
    }
    EXPECT_EQ(Tries().back(), 'L');
    EXPECT_EQ(ended, 1) << "the client admitted last is cut like any other";
    EXPECT_TRUE(loopback::SeesClose(peers.client, 1s));
    EXPECT_TRUE(loopback::SeesClose(peers.server, 1s));
}

TEST_F(RelayLoopTest, ManyIdleSessionsShareOneThreadThatSleeps) {
    std::vector<std::unique_ptr<PlainSession>> peers;
    for (int i = 0; i < 32; ++i) {
        peers.push_back(std::make_unique<PlainSession>());
        auto s = NewSession(POP3, peers.back()->client);
        Take(s->server, peers.back()->server);
        ASSERT_TRUE(Start(s));
        loopback::SendAll(peers.back()->server, "+OK\r\n");
    }
    for (auto& p : peers) EXPECT_EQ(loopback::Read(p->client, 5).data, "+OK\r\n");
    EXPECT_EQ(LoopThreads().size(), 1u) << "one loop thread for all of them";
    std::this_thread::sleep_for(1000ms);  // past the one clean-up after the sessions came
    // A loop that polled in slices would wake some ten times a second.
    EXPECT_LE(LoopWakeUpsOverAWhile(), 1);
}

// Greets, then says nothing until it is let go; its thread sleeps all the
// while, so that the process's wake-ups are the loop's.
class SilentTlsServer {
public:
    explicit SilentTlsServer(const std::string& greeting) {
        server.Serve([this, greeting](PeerLink& link) {
            TlsWrite(link.tls(), greeting);
            std::unique_lock<std::mutex> hold(lock_);
            released_.wait_for(hold, 60s, [this] { return done_; });
        });
    }
    ~SilentTlsServer() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            done_ = true;
        }
        released_.notify_all();
        server.Join();
    }
    LoopbackPeer server{PeerTls{"localhost"}};

private:
    std::mutex lock_;
    std::condition_variable released_;
    bool done_ = false;
};

TEST_F(RelayLoopTest, ASilentSmtpServerOverTlsIsNeverAnsweredFor) {
    SilentTlsServer upstream("220 mail ESMTP\r\n");
    int clientPeer = -1;
    auto s = NewSession(SMTP, clientPeer);
    ASSERT_TRUE(ConnectTlsEnd(s->server, upstream.server.port(), test.ctx.tlsClient));
    s->serverTls = true;
    auto start = Clock::now();
    ASSERT_TRUE(Start(s, RelayTimeouts{2}));
    loopback::Received r = loopback::Read(clientPeer, 0, 5s);
    EXPECT_EQ(r.data, "220 mail ESMTP\r\n") << "the client hears only what the server says";
    EXPECT_TRUE(r.closed);
    ASSERT_TRUE(WaitEnded(1, 2s));
    EXPECT_GE(Clock::now() - start, 1900ms) << "the ordinary quiet time-out";
    EXPECT_EQ(test.CountInLog("ERROR: from SERVER timeout(-6)"), 1) << test.Log();
    close(clientPeer);
}

TEST_F(RelayLoopTest, ATlsServerEndIsRelayedBothWaysAtOnce) {
    const std::string up = Pattern(8 << 20, 3);
    const std::string down = Pattern(8 << 20, 4);
    LoopbackPeer upstream{PeerTls{"localhost"}};
    std::string serverGot;
    bool serverSawEnd = false;
    upstream.Serve([&](PeerLink& link) {
        serverGot = TlsDuplex(link.tls(), link.fd(), down, up.size());
        char c;
        serverSawEnd = SSL_read(link.tls(), &c, 1) == 0;  // the client's end, passed on
        SSL_shutdown(link.tls());
    });
    int clientPeer = -1;
    auto s = NewSession(IMAP4, clientPeer);
    ASSERT_TRUE(ConnectTlsEnd(s->server, upstream.port(), test.ctx.tlsClient));
    s->serverTls = true;
    ASSERT_TRUE(Start(s));

    std::string clientGot;
    std::thread reader([&] { clientGot = loopback::Read(clientPeer, down.size(), 60s).data; });
    ASSERT_TRUE(loopback::SendAll(clientPeer, up));
    reader.join();
    shutdown(clientPeer, SHUT_WR);
    upstream.Join();
    ASSERT_TRUE(WaitEnded(1, 5s));
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
    EXPECT_TRUE(clientGot == down) << clientGot.size();
    EXPECT_TRUE(serverGot == up) << serverGot.size();
    EXPECT_TRUE(serverSawEnd);
    EXPECT_EQ(test.CountInLog("ERROR"), 0) << test.Log();
    close(clientPeer);
}

// Many small records and the close-notify in one burst: the records the
// library holds are read though the socket stays quiet, and the end follows
// the last of them.
TEST_F(RelayLoopTest, TlsRecordsThatArriveTogetherAreAllPassedOnBeforeTheEnd) {
    LoopbackPeer upstream{PeerTls{"localhost"}};
    std::string expected;
    for (int i = 0; i < 300; ++i) expected += "* " + std::to_string(i) + " EXISTS\r\n";
    upstream.Serve([&](PeerLink& link) {
        for (int i = 0; i < 300; ++i) TlsWrite(link.tls(), "* " + std::to_string(i) + " EXISTS\r\n");
        SSL_shutdown(link.tls());
    });
    int clientPeer = -1;
    auto s = NewSession(IMAP4, clientPeer);
    ASSERT_TRUE(ConnectTlsEnd(s->server, upstream.port(), test.ctx.tlsClient));
    s->serverTls = true;
    std::this_thread::sleep_for(200ms);  // all of it on the socket before the loop looks
    ASSERT_TRUE(Start(s));
    loopback::Received r = loopback::Read(clientPeer, expected.size() + 1, 5s);
    EXPECT_TRUE(r.data == expected) << r.data.size();
    EXPECT_TRUE(r.closed);
    upstream.Join();
    close(clientPeer);
}

TEST_F(RelayLoopTest, IdleTlsSessionsCostNoWakeUps) {
    std::vector<std::unique_ptr<SilentTlsServer>> upstreams;
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i) {
        upstreams.push_back(std::make_unique<SilentTlsServer>("* OK ready\r\n"));
        int clientPeer = -1;
        auto s = NewSession(IMAP4, clientPeer);
        ASSERT_TRUE(ConnectTlsEnd(s->server, upstreams.back()->server.port(), test.ctx.tlsClient));
        s->serverTls = true;
        ASSERT_TRUE(Start(s));
        clients.push_back(clientPeer);
    }
    for (int c : clients) EXPECT_EQ(loopback::Read(c, 12, 5s).data, "* OK ready\r\n");
    // Past the greetings, the session tickets and the one clean-up after the
    // sessions came.
    std::this_thread::sleep_for(1000ms);
    EXPECT_LE(LoopWakeUpsOverAWhile(), 1);
    for (int c : clients) close(c);
}

}  // namespace
