#include "proxy/ProcessMailThread.h"

#include <chrono>
#include <set>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "proxy/RelayTestPeers.h"
#include "proxy/TlsPeerIo.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPeer.h"
#include "support/OpenDescriptors.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Order = std::vector<std::string>;

class ProcessMailThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        runtime.timeouts = RelayTimeouts{5};
        runtime.startDetection = [this](AppContext&, DetectMode mode) {
            ++detections;
            if (mode == DetectMode::OnDemand) ++onDemand;
            return detectionStarts;
        };
    }
    // Hands a fresh client connection to a client process in the first free
    // slot of protocol; the test keeps the client's own end in clientPeer.
    void Run(int32_t protocol, const ProtocalInfoList& candidates) {
        int port = 0;
        int listener = loopback::Listen(port);
        clientPeer = loopback::Connect(port);
        clientSock = loopback::Accept(listener);
        close(listener);
        param.protocol = protocol;
        param.slot = test.ctx.clientSlots.TakeSlot(protocol, clientSock);
        param.client.Reset(clientSock);
        param.candidates = candidates;
        worker = std::thread([this] { result = ProcessMailThread(test.ctx, param, runtime); });
    }
    // The client process returns once the relay loop has the session; the
    // session itself ends later, on the loop's thread.
    void Finish() {
        if (worker.joinable()) worker.join();
        auto until = std::chrono::steady_clock::now() + 10s;
        while (runtime.workers > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
        EXPECT_EQ(runtime.workers, 0) << "the session has ended";
    }
    // A server that never answers ranked before a live plain one.
    static ProtocalInfoList DeadThenAlive(const UnansweredPort& dead, const RecordingUpstream& alive) {
        ProtocalInfoList list;
        list.PushBack(Candidate("dead", dead.port(), false, 5));
        list.PushBack(Candidate("alive", alive.port(), false, 10));
        return list;
    }
    void TearDown() override {
        if (clientPeer >= 0) close(clientPeer);
        if (worker.joinable()) worker.join();
    }

    ProxyTestContext test;
    ProxyRuntime runtime;
    std::atomic<int> detections{0};
    std::atomic<int> onDemand{0};  // of the detections, those asked for on demand
    bool detectionStarts = true;
    ProcessMailParam param;
    std::thread worker;
    std::optional<ProxyResult> result;
    int clientSock = -1;
    int clientPeer = -1;
    AttemptLog attempts;
};

TEST_F(ProcessMailThreadTest, MissingArgument) {
    ProcessMailParam none;
    EXPECT_EQ(ProcessMailThread(test.ctx, none, runtime), ProxyResult::MissingArgument) << "no client";
    ProcessMailParam unknown;
    unknown.protocol = kProtocolCount;
    unknown.slot = 0;
    unknown.client.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(ProcessMailThread(test.ctx, unknown, runtime), ProxyResult::MissingArgument);
    EXPECT_TRUE(unknown.client.Valid()) << "the client is left to the caller";
    EXPECT_EQ(runtime.workers, 0);
}

// A slow handshake lets the next candidate start beside it, so the order in
// which overlapping attempts reach their servers is not fixed: B starts alone,
// and A is only reached once both TLS candidates were tried (C never is).
static void ExpectTlsTriedFirst(const Order& order) {
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "B");
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()), (std::set<std::string>{"A", "B", "D"}));
}

TEST_F(ProcessMailThreadTest, PreferredTlsCandidatesGoFirstThenThePlainOnes) {
    test.ctx.userConfig.IS_PREFER_SSL = true;
    RecordingUpstream a("A", attempts, false), b("B", attempts, true), c("C", attempts, false),
        d("D", attempts, true);
    ProtocalInfoList list;
    list.PushBack(Candidate("A", a.port(), false, 10));
    list.PushBack(Candidate("B", b.port(), true, 20));
    list.PushBack(Candidate("C", c.port(), false, 30));
    list.PushBack(Candidate("D", d.port(), true, 40));
    Run(SMTP, list);

    int upstream = a.TakeConnection();
    ASSERT_GE(upstream, 0);
    loopback::SendAll(clientPeer, "EHLO me\r\n");
    EXPECT_EQ(loopback::Read(upstream, 9).data, "EHLO me\r\n");
    loopback::SendAll(upstream, "250 ok\r\n");
    EXPECT_EQ(loopback::Read(clientPeer, 8).data, "250 ok\r\n");
    ExpectTlsTriedFirst(attempts.Order());

    close(clientPeer);
    clientPeer = -1;
    EXPECT_TRUE(loopback::SeesClose(upstream)) << "the client's end is passed on";
    a.Close(upstream);
    Finish();
    EXPECT_EQ(result, ProxyResult::Ok);
    ExpectTlsTriedFirst(attempts.Order());
    EXPECT_EQ(test.ctx.clientSlots.Release(SMTP, clientSock), std::nullopt) << "the session freed its slot";
    EXPECT_STREQ(test.ctx.bestConnection.Get().Code, "A");
    EXPECT_EQ(test.notifier.LinkChanges(), 1);
    EXPECT_EQ(test.CountInLog("ERROR: process SMTP connect failed("), 2);
    std::string info = "process SMTP choose server Code=A, Dest=127.0.0.1, Port=" + std::to_string(a.port()) +
                       ", IsSSL=0\r\n";
    EXPECT_EQ(test.notifier.Lines(), (Order{info, "process SMTP end\r\n"}));
    std::string log = test.Log();
    EXPECT_NE(log.find("[PROXY][DUMP] process SMTP in index 0 client socket=" + std::to_string(clientSock)),
              std::string::npos);
    EXPECT_NE(log.find("[PROXY][MINOR] process SMTP choose server Type=0, Code=A, Dest=127.0.0.1, Port=" +
                       std::to_string(a.port()) + ", IsSSL=0\n"),
              std::string::npos);
    EXPECT_NE(log.find("[PROXY][DUMP] process SMTP data transmission end\n"), std::string::npos);
    EXPECT_NE(log.find("[PROXY][DUMP] process SMTP free index 0\n"), std::string::npos);
    EXPECT_NE(log.find("[PROXY][DUMP] process SMTP end\n"), std::string::npos);
}

TEST_F(ProcessMailThreadTest, WithoutPreferenceTheRankedOrderHolds) {
    RecordingUpstream a("A", attempts, true), b("B", attempts, true), c("C", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("A", a.port(), true, 10));
    list.PushBack(Candidate("B", b.port(), true, 20));
    list.PushBack(Candidate("C", c.port(), false, 30));
    list.PushBack(Candidate("D", loopback::FreePort(), false, 40));
    Run(IMAP4, list);
    int upstream = c.TakeConnection();
    ASSERT_GE(upstream, 0);
    c.Close(upstream);  // the server closes first
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s)) << "the client sees the server's close at once";
    close(clientPeer);
    clientPeer = -1;
    Finish();
    EXPECT_EQ(attempts.Order(), (Order{"A", "B", "C"}));
    EXPECT_STREQ(test.ctx.bestConnection.Get().Code, "C");
    EXPECT_EQ(test.notifier.LinkChanges(), 1);
    EXPECT_EQ(test.CountInLog("ERROR: prcess"), 0);
}

TEST_F(ProcessMailThreadTest, NothingAtOrAfterTheFirstFailedCandidateIsTried) {
    RecordingUpstream alive1("X", attempts, false), alive2("Y", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("dead1", loopback::FreePort(), false, 10));
    list.PushBack(Candidate("dead2", loopback::FreePort(), false, 20));
    list.PushBack(Candidate("X", alive1.port(), false, -1));
    list.PushBack(Candidate("Y", alive2.port(), false, 5));
    Run(POP3, list);
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 5s));
    Finish();
    EXPECT_TRUE(attempts.Order().empty());
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: prcess POP3 connect failed(-1) when choose server"), 2);
    EXPECT_EQ(test.CountInLog("[PROXY][MAJOR] ERROR: process POP3 find no server connectable"), 1);
    using Box = std::pair<std::string, std::string>;
    EXPECT_EQ(test.notifier.Boxes(), (std::vector<Box>{{"", "MSG_NO_AVAIL_SERVER"}}));
    EXPECT_EQ(detections, 1);
    EXPECT_EQ(onDemand, 1);
    EXPECT_EQ(test.notifier.LinkChanges(), 0);
    EXPECT_EQ(test.ctx.clientSlots.Release(POP3, clientSock), std::nullopt) << "the session freed its slot";
    EXPECT_EQ(test.notifier.Lines(), (Order{"process POP3 end\r\n"}));
}

TEST_F(ProcessMailThreadTest, AFirstRecordThatFailedLeadsStraightToTheBox) {
    RecordingUpstream alive("X", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("X", alive.port(), false, -1));
    detectionStarts = false;
    Run(SMTP, list);
    Finish();
    EXPECT_TRUE(attempts.Order().empty());
    EXPECT_EQ(test.CountInLog("connect failed"), 0);
    EXPECT_EQ(test.notifier.Boxes().size(), 1u);
    EXPECT_EQ(detections, 1);
    EXPECT_EQ(test.CountInLog("[PROXY][CRITICAL] ERROR: process SMTP try to auto detect failed"), 1);
}

TEST_F(ProcessMailThreadTest, ManualModeShowsTheBoxButStartsNoDetection) {
    test.ctx.userConfig.IS_MANUAL_DETECT = true;
    ProtocalInfoList list;
    list.PushBack(Candidate("mine", loopback::FreePort(), true, 0));
    Run(IMAP4, list);
    Finish();
    EXPECT_EQ(test.notifier.Boxes().size(), 1u);
    EXPECT_EQ(detections, 0);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process IMAP4 connect failed("), 1);
}

TEST_F(ProcessMailThreadTest, UnresolvableTlsCandidateFailsItsPreparation) {
    LoopbackPeer upstream{PeerTls{"localhost"}};
    upstream.Serve([](PeerLink& link) {
        TlsWrite(link.tls(), "+OK tls\r\n");
        TlsRead(link.tls(), 0);
    });
    ProtocalInfoList list;
    list.PushBack(Candidate("nowhere", upstream.port(), true, 1, ""));
    list.PushBack(Candidate("T", upstream.port(), true, 2));
    Run(POP3, list);
    EXPECT_EQ(loopback::Read(clientPeer, 9).data, "+OK tls\r\n");
    close(clientPeer);
    clientPeer = -1;
    Finish();
    upstream.Join();
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process POP3 prepare failed(-1) when choose server"), 1);
    EXPECT_STREQ(test.ctx.bestConnection.Get().Code, "T");
    EXPECT_TRUE(test.ctx.bestConnection.Get().IsSSL);
    ASSERT_FALSE(test.notifier.Lines().empty());
    EXPECT_NE(test.notifier.Lines()[0].find("Code=T, Dest=127.0.0.1"), std::string::npos);
    EXPECT_NE(test.notifier.Lines()[0].find(", IsSSL=1\r\n"), std::string::npos);
}

TEST_F(ProcessMailThreadTest, FallingBackPastAServerThatNeverAnswersIsBoundedAndAsksForOneQuietDetection) {
    runtime.connectBounds = ConnectBounds{1, 30};
    UnansweredPort dead;
    RecordingUpstream alive("alive", attempts, false);
    const ProtocalInfoList list = DeadThenAlive(dead, alive);
    for (int client = 0; client < 2; ++client) {
        auto start = std::chrono::steady_clock::now();
        Run(SMTP, list);
        int upstream = alive.TakeConnection(5s);
        ASSERT_GE(upstream, 0) << "client " << client;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, 0.2);
        EXPECT_LT(seconds, 0.9) << "the next candidate starts alongside the silent one, well within its bound";
        alive.Close(upstream);
        EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
        close(clientPeer);
        clientPeer = -1;
        Finish();
    }
    EXPECT_EQ(detections, 1) << "one request for the first fall-back, none for the second";
    EXPECT_EQ(onDemand, 0) << "a quiet, background detection";
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] process SMTP fell back past a failed server, auto detect requested"), 1);
    EXPECT_EQ(runtime.failoverDetectSeconds, 300) << "the product's interval";
    EXPECT_EQ(test.notifier.Boxes().size(), 0u);

    // In manual mode a fall-back asks for nothing, even with no interval to wait.
    runtime.failoverDetectSeconds = 0;
    test.ctx.userConfig.IS_MANUAL_DETECT = true;
    Run(SMTP, list);
    int upstream = alive.TakeConnection(5s);
    ASSERT_GE(upstream, 0);
    alive.Close(upstream);
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
    Finish();
    EXPECT_EQ(detections, 1);
}

TEST_F(ProcessMailThreadTest, AHostNameIsResolvedAndConnected) {
    RecordingUpstream named("N", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("N", named.port(), false, 1, "localhost"));
    Run(IMAP4, list);
    int upstream = named.TakeConnection(5s);
    ASSERT_GE(upstream, 0);
    loopback::SendAll(upstream, "* OK named\r\n");
    EXPECT_EQ(loopback::Read(clientPeer, 12).data, "* OK named\r\n");
    named.Close(upstream);
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
    Finish();
    EXPECT_STREQ(test.ctx.bestConnection.Get().Dest, "localhost");
    EXPECT_EQ(test.CountInLog("Code=N, Dest=localhost, Port=" + std::to_string(named.port())), 1);
}

// A TLS server by address whose key is not the one recorded (a certificate
// swapped by whoever sits on the path) gets nothing of the client: its
// candidate fails with its line and the walk goes on to the next.
TEST_F(ProcessMailThreadTest, ASwappedCertificateIsRefusedBeforeAByteIsRelayed) {
    std::atomic<std::size_t> received{0};
    LoopbackPeer swapped{PeerTls{"localhost"}};
    swapped.Serve([&received](PeerLink& link) {
        TlsWrite(link.tls(), "+OK swapped\r\n");
        received = TlsRead(link.tls(), 0).size();
    });
    test.ctx.tlsClient.Known().Store(KnownServer{"127.0.0.1", swapped.port(), std::string(64, 'e'), {"localhost"}});
    RecordingUpstream alive("alive", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("S", swapped.port(), true, 1));
    list.PushBack(Candidate("alive", alive.port(), false, 2));
    // The refusal is what is tested: a handshake slowed by a busy machine
    // must not lose the race to the plain server first.
    runtime.connectBounds.stagger = 30s;
    Run(POP3, list);
    int upstream = alive.TakeConnection(5s);
    ASSERT_GE(upstream, 0);
    loopback::SendAll(upstream, "+OK alive\r\n");
    EXPECT_EQ(loopback::Read(clientPeer, 11).data, "+OK alive\r\n");
    loopback::SendAll(clientPeer, "USER me\r\n");
    EXPECT_EQ(loopback::Read(upstream, 9).data, "USER me\r\n");
    alive.Close(upstream);
    Finish();
    swapped.Join();
    EXPECT_EQ(received, 0u);
    EXPECT_STREQ(test.ctx.bestConnection.Get().Code, "alive");
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process POP3 certificate of 127.0.0.1:" +
                              std::to_string(swapped.port()) + " refused(-14) when choose server"),
              1);
    EXPECT_EQ(test.CountInLog("recorded " + std::string(64, 'e') + ", presented "), 1);
    // The record is not replaced by the refused key.
    KnownServer known;
    ASSERT_TRUE(test.ctx.tlsClient.Known().Find("127.0.0.1", swapped.port(), known));
    EXPECT_EQ(known.fingerprint, std::string(64, 'e'));
}

// Every client's walk to its server runs on one loop: a walk that waits for
// a server that never answers must not hold up the others.
TEST_F(ProcessMailThreadTest, AClientWaitingForAServerThatNeverAnswersHoldsUpNoOtherClient) {
    runtime.connectBounds = ConnectBounds{3, 30};
    UnansweredPort dead[kAttemptsInFlight];
    RecordingUpstream alive("alive", attempts, false);
    // As many silent candidates as may be under way at once: the live one
    // behind them waits for the first of them to reach its bound.
    ProtocalInfoList slow;
    for (const UnansweredPort& d : dead) slow.PushBack(Candidate("dead", d.port(), false, 5));
    slow.PushBack(Candidate("alive", alive.port(), false, 10));
    auto start = std::chrono::steady_clock::now();
    Run(SMTP, slow);
    if (worker.joinable()) worker.join();

    int port = 0;
    int listener = loopback::Listen(port);
    int otherPeer = loopback::Connect(port);
    ProcessMailParam other;
    other.protocol = SMTP;
    other.client.Reset(loopback::Accept(listener));
    other.slot = test.ctx.clientSlots.TakeSlot(SMTP, other.client.Get());
    close(listener);
    other.candidates.PushBack(Candidate("alive", alive.port(), false, 10));
    ASSERT_EQ(ProcessMailThread(test.ctx, other, runtime), ProxyResult::Ok);
    int served = alive.TakeConnection(2s);
    ASSERT_GE(served, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "served while the first client still waits";
    loopback::SendAll(served, "220 other\r\n");
    EXPECT_EQ(loopback::Read(otherPeer, 11).data, "220 other\r\n");
    alive.Close(served);
    EXPECT_TRUE(loopback::SeesClose(otherPeer, 2s));
    close(otherPeer);

    int first = alive.TakeConnection(5s);
    ASSERT_GE(first, 0) << "the first client falls back once the connect bound has passed";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
    alive.Close(first);
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
    Finish();
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: prcess SMTP connect failed(-1) when choose server"), 3);
}

TEST_F(ProcessMailThreadTest, ATlsServerThatNeverAnswersTheHandshakeIsLeftAtItsBound) {
    runtime.connectBounds = ConnectBounds{10, 1};
    int port = 0;
    int mute = loopback::Listen(port);  // takes connections, never says a word
    RecordingUpstream alive("alive", attempts, false);
    ProtocalInfoList list;
    for (size_t i = 0; i < kAttemptsInFlight; ++i) list.PushBack(Candidate("mute", port, true, 5));
    list.PushBack(Candidate("alive", alive.port(), false, 10));
    auto start = std::chrono::steady_clock::now();
    Run(POP3, list);
    int upstream = alive.TakeConnection(5s);
    ASSERT_GE(upstream, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0) << "the handshake bound, no more";
    alive.Close(upstream);
    EXPECT_TRUE(loopback::SeesClose(clientPeer, 2s));
    Finish();
    close(mute);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process POP3 connect failed("), 3);
    EXPECT_STREQ(test.ctx.bestConnection.Get().Code, "alive");
}

// However a session ends, each socket it held is closed once: after a
// relayed session, one whose TLS server failed its handshake before the
// client was turned away, and one refused a slot, the process holds what it
// held before.
TEST_F(ProcessMailThreadTest, EverySessionClosesItsSocketsOnceHoweverItEnds) {
    RecordingUpstream alive("alive", attempts, false), refusing("refusing", attempts, true);
    ProtocalInfoList relayed;
    relayed.PushBack(Candidate("alive", alive.port(), false, 1));
    ProtocalInfoList unreachable;
    unreachable.PushBack(Candidate("refusing", refusing.port(), true, 1));
    auto relay = [&] {
        Run(SMTP, relayed);
        int upstream = alive.TakeConnection();
        ASSERT_GE(upstream, 0);
        close(clientPeer);
        clientPeer = -1;
        EXPECT_TRUE(loopback::SeesClose(upstream));
        alive.Close(upstream);
        Finish();
    };
    relay();  // the relay loop's own descriptors come with its first session
    const int open = OpenDescriptors();
    relay();
    Run(POP3, unreachable);
    EXPECT_TRUE(loopback::SeesClose(clientPeer));
    Finish();
    close(clientPeer);
    for (int i = 0; i < kClientSlotCount; ++i) test.ctx.clientSlots.TakeSlot(IMAP4, 100000 + i);
    Run(IMAP4, relayed);
    EXPECT_TRUE(loopback::SeesClose(clientPeer));
    Finish();
    close(clientPeer);
    clientPeer = -1;
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] ERROR: proxy IMAP4 no avail socket"));
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == open; }, 2s)) << OpenDescriptors() << " open, not " << open;
}

}  // namespace
