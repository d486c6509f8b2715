#include "proxy/ServerChoice.h"

#include <chrono>
#include <memory>
#include <sstream>

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "proxy/ConnIo.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;
using namespace std::chrono_literals;

// Takes the walk's steps as the relay loop does, waiting on the attempts'
// sockets with poll, until it stops at something other than a wait.
class ServerChoiceTest : public ::testing::Test {
protected:
    ChoiceStep Walk(ServerChoice& choice, ChoiceStep step) {
        auto until = std::chrono::steady_clock::now() + 10s;
        while (step == ChoiceStep::Waiting && std::chrono::steady_clock::now() < until) {
            std::vector<pollfd> entries;
            std::vector<size_t> slots;
            for (size_t slot = 0; slot < kAttemptsInFlight; ++slot) {
                if (choice.AttemptWait(slot) == SocketWait::None) continue;
                short events = choice.AttemptWait(slot) == SocketWait::Readable ? POLLIN : POLLOUT;
                entries.push_back(pollfd{choice.AttemptSocket(slot), events, 0});
                slots.push_back(slot);
            }
            int ready = poll(entries.data(), entries.size(), 20);
            step = ChoiceStep::Waiting;
            for (size_t i = 0; ready > 0 && i < entries.size() && step == ChoiceStep::Waiting; ++i)
                if (entries[i].revents != 0)
                    step = choice.Ready(slots[i], (entries[i].revents & (POLLERR | POLLHUP)) != 0, MonotonicClock::now());
            if (step == ChoiceStep::Waiting && MonotonicClock::now() >= choice.Deadline())
                step = choice.Expired(MonotonicClock::now());
        }
        if (step == ChoiceStep::Chosen) choice.TakeChosen(server);
        return step;
    }
    void TearDown() override { CloseConn(server); }

    ProxyTestContext test;
    ProxySocket server;
    AttemptLog attempts;
};

TEST_F(ServerChoiceTest, ARefusedServerIsPassedForTheNextAndThePassingIsKnown) {
    RecordingUpstream live("live", attempts, false);
    ProtocalInfoList list;
    list.PushBack(Candidate("refused", loopback::FreePort(), false, 1));
    list.PushBack(Candidate("live", live.port(), false, 2));
    ServerChoice choice(test.ctx, SMTP, list, ConnectBounds{});
    ASSERT_EQ(Walk(choice, choice.Start(MonotonicClock::now())), ChoiceStep::Chosen);
    EXPECT_STREQ(choice.Chosen().Code, "live");
    EXPECT_TRUE(choice.PassedFailure());
    EXPECT_TRUE(server.sock.Valid());
    int upstream = live.TakeConnection();
    ASSERT_GE(upstream, 0);
    live.Close(upstream);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: prcess SMTP connect failed(-1) when choose server"), 1);
}

// A server on this machine has taken the connection by the time the connect
// returns: the walk does not wait for the socket to say so, and over TLS goes
// straight on to the handshake.
TEST_F(ServerChoiceTest, AConnectAnsweredAtOnceIsNotWaitedFor) {
    int port = 0;
    int listener = loopback::Listen(port);
    ASSERT_GE(listener, 0);
    ProtocalInfoList plain;
    plain.PushBack(Candidate("near", port, false, 1));
    ServerChoice choice(test.ctx, POP3, plain, ConnectBounds{});
    EXPECT_EQ(choice.Start(MonotonicClock::now()), ChoiceStep::Chosen);
    choice.TakeChosen(server);
    EXPECT_TRUE(server.sock.Valid());
    CloseConn(server);

    ProtocalInfoList tls;
    tls.PushBack(Candidate("near", port, true, 1));
    ServerChoice secure(test.ctx, POP3, tls, ConnectBounds{});
    ASSERT_EQ(secure.Start(MonotonicClock::now()), ChoiceStep::Waiting);
    EXPECT_EQ(secure.AttemptWait(0), SocketWait::Readable) << "the handshake waits for the server's hello";
    close(listener);
}

TEST_F(ServerChoiceTest, ANameWaitsForTheResolverAndAnUnknownTlsNameFailsItsPreparation) {
    ProtocalInfoList list;
    list.PushBack(Candidate("named", 995, true, 1, "mail.example.invalid"));
    ServerChoice choice(test.ctx, POP3, list, ConnectBounds{});
    ASSERT_EQ(choice.Start(MonotonicClock::now()), ChoiceStep::Resolving);
    EXPECT_EQ(choice.Host(), "mail.example.invalid");
    EXPECT_EQ(choice.AttemptSocket(0), -1) << "nothing is opened before the address is known";
    EXPECT_EQ(choice.Deadline(), kNoDeadline) << "the resolver's own bounds hold";
    EXPECT_EQ(choice.Resolved(false, in_addr{}, MonotonicClock::now()), ChoiceStep::Exhausted);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process POP3 prepare failed(-1) when choose server"), 1);
}

TEST_F(ServerChoiceTest, AConnectThatGetsNoAnswerFailsAtItsDeadlineAndLeavesTheEndEmpty) {
    UnansweredPort dead;
    ProtocalInfoList list;
    list.PushBack(Candidate("dead", dead.port(), true, 1));
    ServerChoice choice(test.ctx, IMAP4, list, ConnectBounds{1, 30});
    MonotonicClock::time_point start = MonotonicClock::now();
    ASSERT_EQ(choice.Start(start), ChoiceStep::Waiting);
    EXPECT_EQ(choice.AttemptWait(0), SocketWait::Writable);
    EXPECT_EQ(choice.Deadline(), start + 1s);
    EXPECT_EQ(Walk(choice, ChoiceStep::Waiting), ChoiceStep::Exhausted);
    EXPECT_GE(MonotonicClock::now() - start, 900ms);
    EXPECT_FALSE(server.sock.Valid());
    EXPECT_FALSE(server.tls.Attached());
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process IMAP4 connect failed("), 1);
}

TEST_F(ServerChoiceTest, NoUsablePortAndNoCandidatesAtAll) {
    ProtocalInfoList list;
    list.PushBack(Candidate("zero", 0, false, 1));
    list.PushBack(Candidate("after-failed", 25, false, -1));
    ServerChoice choice(test.ctx, SMTP, list, ConnectBounds{});
    EXPECT_EQ(choice.Start(MonotonicClock::now()), ChoiceStep::Exhausted);
    EXPECT_EQ(test.CountInLog("ERROR: prcess SMTP connect failed(-1) when choose server"), 1);

    ServerChoice none(test.ctx, SMTP, ProtocalInfoList{}, ConnectBounds{});
    EXPECT_EQ(none.Start(MonotonicClock::now()), ChoiceStep::Exhausted);
    EXPECT_FALSE(server.sock.Valid());
}

}  // namespace

namespace {

// A walk over candidates of these kinds, on a clock the test moves: D a
// plain server that drops packets, T a TLS one that does, R a plain port that
// refuses, L a plain server that takes the connection.
struct StaggerCase {
    const char* name;
    const char* kinds;
    int winner;              // -1: none
    int chosenAfterMillis;   // on the test's clock
    size_t mostWaiting;      // attempts waiting on their sockets at once
    const char* lines;       // the candidates' failure lines in order: T for TLS, P for plain
};

class StaggeredWalkTest : public ::testing::TestWithParam<StaggerCase> {
protected:
    ProxyTestContext test;
};

TEST_P(StaggeredWalkTest, StartsTheNextCandidateWhileTheFirstIsSilent) {
    const StaggerCase& c = GetParam();
    std::vector<std::unique_ptr<UnansweredPort>> dead;
    std::vector<int> listeners;
    ProtocalInfoList list;
    for (const char* k = c.kinds; *k != '\0'; ++k) {
        int port = 0;
        if (*k == 'D' || *k == 'T') {
            dead.push_back(std::make_unique<UnansweredPort>());
            port = dead.back()->port();
        } else if (*k == 'L') {
            listeners.push_back(loopback::Listen(port));
        } else {
            port = loopback::FreePort();
        }
        list.PushBack(Candidate(std::string(1, *k).c_str(), port, *k == 'T', static_cast<int>(k - c.kinds)));
    }
    ServerChoice choice(test.ctx, SMTP, list, ConnectBounds{1, 5});
    const MonotonicClock::time_point start = MonotonicClock::now();
    MonotonicClock::time_point now = start;
    size_t most = 0;
    ChoiceStep step = choice.Start(now);
    for (int turns = 0; step == ChoiceStep::Waiting && turns < 20; ++turns) {
        size_t inFlight = 0;
        for (size_t slot = 0; slot < kAttemptsInFlight; ++slot) inFlight += choice.AttemptSocket(slot) >= 0 ? 1 : 0;
        most = std::max(most, inFlight);
        now = choice.Deadline();
        step = choice.Expired(now);
    }
    EXPECT_EQ(most, c.mostWaiting);
    if (c.winner < 0) {
        EXPECT_EQ(step, ChoiceStep::Exhausted);
    } else {
        ASSERT_EQ(step, ChoiceStep::Chosen);
        EXPECT_EQ(choice.Chosen().LinkCost, c.winner);
        EXPECT_EQ(now - start, std::chrono::milliseconds(c.chosenAfterMillis));
        EXPECT_EQ(choice.PassedFailure(), c.winner > 0);
        ProxySocket server;
        choice.TakeChosen(server);
        EXPECT_TRUE(server.sock.Valid());
    }
    for (size_t slot = 0; slot < kAttemptsInFlight; ++slot)
        EXPECT_EQ(choice.AttemptSocket(slot), -1) << "the losers are closed";
    std::string order;
    std::istringstream log(test.Log());
    for (std::string line; std::getline(log, line);)
        if (line.find("when choose server") != std::string::npos)
            order += line.find("ERROR: process SMTP connect failed(") != std::string::npos ? "T" : "P";
    EXPECT_EQ(order, c.lines) << test.Log();
    for (int l : listeners) close(l);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, StaggeredWalkTest,
    ::testing::Values(StaggerCase{"SilentFirst", "DL", 1, 250, 1, "P"},
                      StaggerCase{"RefusedFirstIsSkippedAtOnce", "RL", 1, 0, 0, "P"},
                      StaggerCase{"AnsweringFirstStartsNoOther", "LD", 0, 0, 0, ""},
                      StaggerCase{"ThreeSilentHoldTheFourthUntilOneIsOverItsBound", "DDDL", 3, 1000, 3, "PPP"},
                      StaggerCase{"LinesKeepTheStartOrder", "TRL", 2, 250, 1, "TP"},
                      StaggerCase{"AllSilent", "DD", -1, 0, 2, "PP"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
