#include "proxy/ProxyListenThread.h"

#include <ctime>
#include <fstream>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "proxy/ListenerRun.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "proxy/TlsPeerIo.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPeer.h"
#include "support/OpenDescriptors.h"
#include "support/OutcomeText.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;

class ProxyListenThreadTest : public ::testing::Test {
protected:
    void WriteResult(std::vector<ProtocalInfo> records, bool manual = false) {
        ProtocalInfoList list;
        for (const ProtocalInfo& r : records) list.PushBack(r);
        ASSERT_EQ(WriteDetectResult(test.ctx, list, manual), CatalogueResult::Ok);
    }
    // Result stamps are whole seconds: a rewrite must land in a later one.
    void WriteNewerResult(std::vector<ProtocalInfo> records, bool manual = false) {
        int32_t last = test.ctx.resultTimes.Get(manual);
        while (std::time(nullptr) <= last) std::this_thread::sleep_for(20ms);
        WriteResult(records, manual);
    }
    // A connection through the proxy that reached upstream: the client's end
    // and the upstream's end.
    struct Session {
        int client = -1;
        int upstream = -1;
    };
    Session Open(ListenerRun& run, RecordingUpstream& upstream) {
        Session s;
        s.client = run.Connect();
        s.upstream = upstream.TakeConnection();
        sockets.push_back(s.client);
        return s;
    }
    // A session in every slot of the row; it stops at the first client that
    // did not reach upstream.
    std::vector<Session> FillRow(ListenerRun& run, RecordingUpstream& upstream) {
        std::vector<Session> sessions;
        while (sessions.size() < static_cast<size_t>(kClientSlotCount)) {
            Session s = Open(run, upstream);
            if (s.upstream < 0) break;
            sessions.push_back(s);
        }
        return sessions;
    }
    static bool Works(const Session& s, const std::string& text) {
        return loopback::SendAll(s.client, text) && loopback::Read(s.upstream, text.size()).data == text &&
               loopback::SendAll(s.upstream, text) && loopback::Read(s.client, text.size()).data == text;
    }
    void TearDown() override {
        for (int s : sockets) close(s);
    }

    ProxyTestContext test;
    AttemptLog attempts;
    std::vector<int> sockets;
};

TEST_F(ProxyListenThreadTest, StartsListeningAndSaysSo) {
    ListenerRun run(test.ctx, POP3);
    ASSERT_GE(run.runtime->listenSocket, 0);
    std::string port = std::to_string(run.port());
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] proxy POP3 at port " + port + " start\n"));
    EXPECT_NE(test.Log().find("[PROXY][DUMP] proxy POP3 intializing\n"), std::string::npos);
    EXPECT_EQ(test.notifier.Lines(), (std::vector<std::string>{"proxy POP3 at port " + port + " start\r\n"}));
    for (int i = 0; i < kClientSlotCount; ++i) EXPECT_EQ(test.ctx.clientSlots.TakeSlot(POP3, 1000 + i), i);
}

namespace {
// Connects to another loopback address than 127.0.0.1; true when accepted.
bool ReachableOn(const char* address, int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}
}  // namespace

// Other hosts must not relay through the user's accounts unless the user
// opens the proxies on purpose.
TEST_F(ProxyListenThreadTest, ListensOnTheSettingsAddressOnly) {
    {
        ListenerRun run(test.ctx, SMTP);
        ASSERT_GE(run.runtime->listenSocket, 0);
        EXPECT_FALSE(ReachableOn("127.0.0.2", run.port()));
        EXPECT_TRUE(ReachableOn("127.0.0.1", run.port()));
    }
    test.ctx.userConfig.LISTEN_ADDRESS.Set("0.0.0.0");
    ListenerRun open(test.ctx, SMTP);
    ASSERT_GE(open.runtime->listenSocket, 0);
    EXPECT_TRUE(ReachableOn("127.0.0.2", open.port()));
}

TEST_F(ProxyListenThreadTest, ABusyPortEndsTheListener) {
    int port = 0;
    int busy = loopback::Listen(port);
    ListenerRun run(test.ctx, IMAP4, RelayTimeouts{}, port);
    ASSERT_TRUE(run.WaitEnded(5s));
    EXPECT_EQ(run.result, ProxyResult::Ok);
    EXPECT_EQ(test.CountInLog("[PROXY][CRITICAL] ERROR: proxy IMAP4 start to listen failed(98)"), 1) << test.Log();
    EXPECT_EQ(test.CountInLog("[PROXY][CRITICAL] proxy IMAP4 unexpectedly end"), 1);
    EXPECT_EQ(test.notifier.Lines(),
              (std::vector<std::string>{"proxy IMAP4 cannot listen on port " + std::to_string(port) +
                                        ": Address already in use\r\n"}));
    close(busy);
}

TEST_F(ProxyListenThreadTest, WithoutResultsEveryClientIsClosedAndADetectionRequested) {
    ListenerRun run(test.ctx, SMTP);
    for (int i = 0; i < 2; ++i) {
        int client = run.Connect();
        EXPECT_TRUE(loopback::SeesClose(client, 2s));
        close(client);
    }
    EXPECT_TRUE(test.WaitForLog("[PROXY][MAJOR] ERROR: read detection result log fail", 2));
    EXPECT_TRUE(WaitUntil([&] { return run.detections == 2; }, 2s));
    EXPECT_EQ(run.onDemand, 2);
}

TEST_F(ProxyListenThreadTest, ManualModeWithoutItsFileStartsNoDetection) {
    test.ctx.userConfig.IS_MANUAL_DETECT = true;
    WriteResult({Candidate("auto", 1, false, 1)});  // the other mode's file is not used
    ListenerRun run(test.ctx, POP3);
    int client = run.Connect();
    EXPECT_TRUE(test.WaitForLog("ERROR: read detection result log fail"));
    EXPECT_TRUE(loopback::SeesClose(client, 5ms)) << "the client is closed before the failure is logged";
    close(client);
    EXPECT_EQ(run.detections, 0);
}

TEST_F(ProxyListenThreadTest, ADetectionThatCannotStartEndsTheListener) {
    ListenerRun run(test.ctx, POP3);
    run.detectionStarts = false;
    int client = run.Connect();
    EXPECT_TRUE(loopback::SeesClose(client, 2s));
    close(client);
    ASSERT_TRUE(run.WaitEnded(5s));
    EXPECT_EQ(test.CountInLog("[PROXY][CRITICAL] ERROR: proxy POP3 try to auto detect failed"), 1);
    EXPECT_EQ(test.CountInLog("[PROXY][CRITICAL] proxy POP3 unexpectedly end"), 1);
    EXPECT_LT(run.Connect(), 0) << "that protocol is no longer served";
}

TEST_F(ProxyListenThreadTest, AResultWithoutRecordsClosesEveryClient) {
    WriteResult({});
    ListenerRun run(test.ctx, SMTP);
    int client = run.Connect();
    EXPECT_TRUE(loopback::SeesClose(client, 2s));
    close(client);
    EXPECT_TRUE(test.WaitForLog("[PROXY][DUMP] proxy SMTP no mail server in record"));
    EXPECT_EQ(test.CountInLog("proxy SMTP mail server num = 0"), 1);
    EXPECT_EQ(run.detections, 0);
}

TEST_F(ProxyListenThreadTest, TheThirtyThirdClientIsClosedWhileTheOthersWork) {
    // Declared before the upstreams, which thus go first: their connections
    // close and the sessions end before the listener is stopped.
    ListenerRun run(test.ctx, IMAP4);
    RecordingUpstream upstream("U", attempts, false);
    WriteResult({Candidate("U", upstream.port(), false, 3)});
    std::vector<Session> sessions = FillRow(run, upstream);
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kClientSlotCount)) << "every client reached upstream";
    int extra = run.Connect();
    EXPECT_TRUE(loopback::SeesClose(extra, 2s));
    close(extra);
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] ERROR: proxy IMAP4 no avail socket"));
    EXPECT_TRUE(Works(sessions[0], "a1 NOOP\r\n"));
    EXPECT_TRUE(Works(sessions[31], "a2 NOOP\r\n"));

    // One client leaves: its slot serves the next one.
    close(sessions[5].client);
    sockets[5] = -1;
    EXPECT_TRUE(loopback::SeesClose(sessions[5].upstream));
    upstream.Close(sessions[5].upstream);
    ASSERT_TRUE(test.WaitForLog("[PROXY][DUMP] process IMAP4 free index 5"));
    Session again = Open(run, upstream);
    ASSERT_GE(again.upstream, 0);
    EXPECT_TRUE(Works(again, "a3 NOOP\r\n"));
    EXPECT_EQ(test.CountInLog("[PROXY][DUMP] proxy IMAP4 in avail index=5"), 2);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] using IMAP4 service"), 33);
    for (int s : sockets) close(s);
    sockets.clear();
}

// Mail clients that end their sessions and connect again at once are never
// more than 32 at any moment, so none of them may be refused, however fast
// they come back. Each client's socket goes from the accept through its slot
// into its session, which closes it and its server's end once.
TEST_F(ProxyListenThreadTest, ClientsThatCloseAndComeBackAtOnceAreAllServed) {
    // Declared before the upstream, which thus goes first: the sessions end
    // before the listener is stopped.
    ListenerRun run(test.ctx, POP3);
    GreetingUpstream upstream("+OK ready\r\n");
    WriteResult({Candidate("U", upstream.port(), false, 3)});
    int open = 0;
    for (int round = 0; round < 4; ++round) {
        std::vector<int> clients;
        for (int i = 0; i < kClientSlotCount; ++i) clients.push_back(run.Connect());
        int served = 0;
        for (int client : clients) served += loopback::Read(client, 11, 5s).data == "+OK ready\r\n";
        EXPECT_EQ(served, kClientSlotCount) << "round " << round;
        for (int client : clients) close(client);
        ASSERT_TRUE(test.WaitForLog("[PROXY][DUMP] process POP3 end", (round + 1) * kClientSlotCount));
        // The relay loop's own descriptors come with its first session.
        if (round == 0) open = OpenDescriptors();
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == open; }, 2s)) << OpenDescriptors() << " open, not " << open;
    EXPECT_EQ(test.CountInLog("no avail socket"), 0);
    EXPECT_EQ(upstream.Accepted(), 4 * kClientSlotCount);
}

// A client that only ended its sending side keeps its session, and its
// slot, for as long as its server talks on. Clients that come while that
// slot is about to be freed wait for it at most two seconds, in the relay
// loop: the listener serves on meanwhile, and a slot that some other client
// frees goes to the one waiting.
TEST_F(ProxyListenThreadTest, AClientWaitsForASlotOnlyWhileOneIsAboutToBeFreed) {
    // Declared before the upstream, which thus goes first: the sessions end
    // before the listener is stopped.
    ListenerRun run(test.ctx, SMTP);
    RecordingUpstream upstream("U", attempts, false);
    WriteResult({Candidate("U", upstream.port(), false, 3)});
    std::vector<Session> sessions = FillRow(run, upstream);
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kClientSlotCount)) << "every client reached upstream";
    shutdown(sessions[0].client, SHUT_WR);
    ASSERT_TRUE(loopback::SeesClose(sessions[0].upstream));

    auto start = std::chrono::steady_clock::now();
    int waiting = run.Connect();
    sockets.push_back(waiting);
    EXPECT_TRUE(loopback::SeesClose(waiting, 5s));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 1800ms);
    EXPECT_LT(waited, 4s);
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] ERROR: proxy SMTP no avail socket"));
    EXPECT_TRUE(loopback::SendAll(sessions[0].upstream, "221 bye\r\n"));
    EXPECT_EQ(loopback::Read(sessions[0].client, 9).data, "221 bye\r\n") << "its server still reaches it";

    // Two more wait; meanwhile a client that leaves for good frees its slot.
    int first = run.Connect();
    int second = run.Connect();
    sockets.push_back(first);
    sockets.push_back(second);
    std::this_thread::sleep_for(300ms);
    close(sessions[7].client);
    sockets[7] = -1;
    ASSERT_TRUE(loopback::SeesClose(sessions[7].upstream));
    upstream.Close(sessions[7].upstream);
    Session admitted{first, upstream.TakeConnection()};
    ASSERT_GE(admitted.upstream, 0);
    EXPECT_TRUE(Works(admitted, "EHLO a\r\n"));
    EXPECT_TRUE(loopback::SeesClose(second, 5s)) << "no second slot came";
    EXPECT_EQ(test.CountInLog("[PROXY][DUMP] proxy SMTP in avail index=7"), 2);
    // The refused client is closed before its line is written.
    EXPECT_TRUE(test.WaitForLog("no avail socket", 2, 2s));
    EXPECT_EQ(test.CountInLog("no avail socket"), 2);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] using SMTP service"), 33);
    EXPECT_TRUE(Works(sessions[31], "NOOP\r\n")) << "the others worked on";
}

TEST_F(ProxyListenThreadTest, ANewerResultIsTakenUpByTheNextClientOnly) {
    // Declared before the upstreams, which thus go first: their connections
    // close and the sessions end before the listener is stopped.
    ListenerRun run(test.ctx, SMTP);
    RecordingUpstream first("first", attempts, false), second("second", attempts, false);
    WriteResult({Candidate("first", first.port(), false, 3)});
    Session old = Open(run, first);
    ASSERT_GE(old.upstream, 0);
    int32_t stamp = test.ctx.resultTimes.Get(false);
    EXPECT_TRUE(test.WaitForLog("[PROXY][DUMP] proxy SMTP new log time=" + std::to_string(stamp) + "\n"));

    WriteNewerResult({Candidate("second", second.port(), false, 1), Candidate("first", first.port(), false, 3)});
    Session fresh = Open(run, second);
    ASSERT_GE(fresh.upstream, 0);
    EXPECT_TRUE(test.WaitForLog("[PROXY][DUMP] proxy SMTP update log time=" +
                                std::to_string(test.ctx.resultTimes.Get(false)) + "\n"));
    EXPECT_TRUE(test.WaitForLog("proxy SMTP mail server num = 2"));
    EXPECT_TRUE(Works(old, "still the first\r\n")) << "a client being relayed keeps its server";
    EXPECT_TRUE(Works(fresh, "the second\r\n"));

    Session third = Open(run, second);
    ASSERT_GE(third.upstream, 0);
    EXPECT_EQ(test.CountInLog("update log time="), 1) << "nothing newer, no reload";
    EXPECT_EQ(attempts.Order(), (std::vector<std::string>{"first", "second", "second"}));
}

TEST_F(ProxyListenThreadTest, ASwitchOfModeTakesUpTheOtherModesFile) {
    // Declared before the upstreams, which thus go first: their connections
    // close and the sessions end before the listener is stopped.
    ListenerRun run(test.ctx, POP3);
    RecordingUpstream automatic("auto", attempts, false), manual("manual", attempts, false);
    WriteResult({Candidate("auto", automatic.port(), false, 3)});
    WriteResult({Candidate("manual", manual.port(), false, 0)}, true);
    ASSERT_GE(Open(run, automatic).upstream, 0);
    test.ctx.userConfig.IS_MANUAL_DETECT = true;
    ASSERT_GE(Open(run, manual).upstream, 0);
    test.ctx.userConfig.IS_MANUAL_DETECT = false;
    ASSERT_GE(Open(run, automatic).upstream, 0) << "back in automatic mode, the automatic choice again";
    EXPECT_EQ(attempts.Order(), (std::vector<std::string>{"auto", "manual", "auto"}));
}

TEST_F(ProxyListenThreadTest, AFailedReadOfTheManualFileLeavesNothingForAutomaticMode) {
    // Declared before the upstreams, which thus go first: their connections
    // close and the sessions end before the listener is stopped.
    ListenerRun run(test.ctx, IMAP4);
    RecordingUpstream automatic("auto", attempts, false), manual("manual", attempts, false);
    WriteResult({Candidate("auto", automatic.port(), false, 3)});
    // The listener reads the mode once per client; a switch waits until the
    // listener has logged what it did with the clients so far (so it has read
    // the mode) and writes under the log's lock, which orders the two.
    int clients = 0;
    auto switchTo = [&](bool manualMode) {
        ASSERT_TRUE(WaitUntil([&] {
            return test.CountInLog("proxy IMAP4 mail server num") +
                       test.CountInLog("ERROR: read detection result log fail") ==
                   clients;
        }, 5s));
        test.ctx.log.Hold([&](LogFile&) { test.ctx.userConfig.IS_MANUAL_DETECT = manualMode; });
    };
    ASSERT_GE(Open(run, automatic).upstream, 0);
    ++clients;

    // Manual mode without its file: the client is closed...
    switchTo(true);
    int refused = run.Connect();
    ++clients;
    EXPECT_TRUE(loopback::SeesClose(refused, 2s));
    close(refused);
    // ...and back in automatic mode the automatic list serves again.
    switchTo(false);
    ASSERT_GE(Open(run, automatic).upstream, 0);
    ++clients;

    // A manual file whose good record is followed by a bad line.
    WriteResult({Candidate("manual", manual.port(), false, 0)}, true);
    {
        std::ofstream bad(test.dir.File("manual_set.log"), std::ios::app);
        bad << "not a record\n";
    }
    switchTo(true);
    refused = run.Connect();
    ++clients;
    EXPECT_TRUE(loopback::SeesClose(refused, 2s)) << "the broken file serves nobody";
    close(refused);
    switchTo(false);
    ASSERT_GE(Open(run, automatic).upstream, 0) << "automatic mode never goes to the manual record";

    EXPECT_EQ(attempts.Order(), (std::vector<std::string>{"auto", "auto", "auto"}));
    EXPECT_EQ(test.CountInLog("no mail server in record"), 0);
    EXPECT_EQ(test.CountInLog("ERROR: read detection result log fail"), 2);
    EXPECT_EQ(run.detections, 0) << "manual mode asks for no detection";
}

TEST_F(ProxyListenThreadTest, AClientOrServerThatResetsEndsOnlyItsOwnSession) {
    // Declared before the upstreams, which thus go first: their connections
    // close and the sessions end before the listener is stopped.
    ListenerRun run(test.ctx, POP3);
    RecordingUpstream upstream("U", attempts, false);
    WriteResult({Candidate("U", upstream.port(), false, 3)});
    Session other = Open(run, upstream);

    Session clientGone = Open(run, upstream);
    ASSERT_GE(clientGone.upstream, 0);
    loopback::SendAll(clientGone.client, "RETR 1\r\n");
    loopback::SendAll(clientGone.upstream, std::string(200000, 'm'));
    loopback::Reset(clientGone.client);
    sockets[1] = -1;
    EXPECT_TRUE(loopback::SeesClose(clientGone.upstream, 3s)) << "the server hears of it at once";
    upstream.Close(clientGone.upstream);  // and, as servers do, closes

    Session serverGone = Open(run, upstream);
    ASSERT_GE(serverGone.upstream, 0);
    loopback::SendAll(serverGone.upstream, std::string(200000, 'n'));
    upstream.Close(serverGone.upstream, true);
    loopback::Received r = loopback::Read(serverGone.client, 0, 3s);
    EXPECT_TRUE(r.closed || r.failed) << "the client hears of it at once";
    close(serverGone.client);  // and, as mail clients do, closes
    sockets[2] = -1;

    Session next = Open(run, upstream);
    ASSERT_GE(next.upstream, 0);
    EXPECT_TRUE(Works(next, "+OK next\r\n"));
    EXPECT_TRUE(Works(other, "+OK other\r\n"));
    EXPECT_TRUE(test.WaitForLog("[PROXY][DUMP] process POP3 end", 2)) << "both broken sessions are over";
    EXPECT_EQ(test.CountInLog("process POP3 end"), 2);
}

TEST_F(ProxyListenThreadTest, TlsSessionsToTheSameServerResumeAfterTheFirst) {
    constexpr int kSessions = 20;
    std::atomic<int> resumed{0};
    LoopbackPeer upstream{PeerTls{"localhost"}};
    // A mail server's course: greeting, QUIT, reply, and the server closes
    // first.
    upstream.Serve(
        [&](PeerLink& link) {
            resumed += SSL_session_reused(link.tls()) == 1 ? 1 : 0;
            TlsWrite(link.tls(), "220 ready\r\n");
            TlsRead(link.tls(), 6);
            TlsWrite(link.tls(), "221 bye\r\n");
            SSL_shutdown(link.tls());
        },
        kSessions);
    ListenerRun run(test.ctx, SMTP);
    WriteResult({Candidate("U", upstream.port(), true, 3)});
    for (int i = 0; i < kSessions; ++i) {
        int client = run.Connect();
        EXPECT_EQ(loopback::Exchange(client, "", "\r\n"), "220 ready\r\n");
        EXPECT_EQ(loopback::Exchange(client, "QUIT\r\n", "\r\n"), "221 bye\r\n");
        EXPECT_TRUE(loopback::SeesClose(client, 5s));
        close(client);
    }
    upstream.Join();
    EXPECT_EQ(resumed, kSessions - 1);
}

}  // namespace
