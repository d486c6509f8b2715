#include "proxy/ServerChoice.h"

#include <chrono>

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

// Takes the walk's steps as the relay loop does, waiting on the socket with
// poll, until it stops at something other than a socket wait.
class ServerChoiceTest : public ::testing::Test {
protected:
    ChoiceStep Walk(ServerChoice& choice, ChoiceStep step) {
        auto until = std::chrono::steady_clock::now() + 10s;
        while ((step == ChoiceStep::Waiting || step == ChoiceStep::Failed) &&
               std::chrono::steady_clock::now() < until) {
            if (step == ChoiceStep::Failed) {
                step = choice.Next(server, MonotonicClock::now());
                continue;
            }
            pollfd entry{server.sock.Get(), static_cast<short>(choice.Wait() == SocketWait::Readable ? POLLIN : POLLOUT), 0};
            int ready = poll(&entry, 1, 100);
            if (ready > 0)
                step = choice.Ready(server, (entry.revents & (POLLERR | POLLHUP)) != 0, MonotonicClock::now());
            else if (MonotonicClock::now() >= choice.Deadline())
                step = choice.Expired();
        }
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
    ASSERT_EQ(Walk(choice, choice.Start(server, MonotonicClock::now())), ChoiceStep::Chosen);
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
    EXPECT_EQ(choice.Start(server, MonotonicClock::now()), ChoiceStep::Chosen);
    EXPECT_TRUE(server.sock.Valid());
    CloseConn(server);

    ProtocalInfoList tls;
    tls.PushBack(Candidate("near", port, true, 1));
    ServerChoice secure(test.ctx, POP3, tls, ConnectBounds{});
    ASSERT_EQ(secure.Start(server, MonotonicClock::now()), ChoiceStep::Waiting);
    EXPECT_EQ(secure.Wait(), SocketWait::Readable) << "the handshake waits for the server's hello";
    close(listener);
}

TEST_F(ServerChoiceTest, ANameWaitsForTheResolverAndAnUnknownTlsNameFailsItsPreparation) {
    ProtocalInfoList list;
    list.PushBack(Candidate("named", 995, true, 1, "mail.example.invalid"));
    ServerChoice choice(test.ctx, POP3, list, ConnectBounds{});
    ASSERT_EQ(choice.Start(server, MonotonicClock::now()), ChoiceStep::Resolving);
    EXPECT_EQ(choice.Host(), "mail.example.invalid");
    EXPECT_FALSE(server.sock.Valid()) << "nothing is opened before the address is known";
    EXPECT_EQ(choice.Deadline(), kNoDeadline) << "the resolver's own bounds hold";
    ASSERT_EQ(choice.Resolved(server, false, in_addr{}, MonotonicClock::now()), ChoiceStep::Failed);
    EXPECT_EQ(choice.Next(server, MonotonicClock::now()), ChoiceStep::Exhausted);
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: process POP3 prepare failed(-1) when choose server"), 1);
}

TEST_F(ServerChoiceTest, AConnectThatGetsNoAnswerFailsAtItsDeadlineAndLeavesTheEndEmpty) {
    UnansweredPort dead;
    ProtocalInfoList list;
    list.PushBack(Candidate("dead", dead.port(), true, 1));
    ServerChoice choice(test.ctx, IMAP4, list, ConnectBounds{1, 30});
    MonotonicClock::time_point start = MonotonicClock::now();
    ASSERT_EQ(choice.Start(server, start), ChoiceStep::Waiting);
    EXPECT_EQ(choice.Wait(), SocketWait::Writable);
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
    ASSERT_EQ(choice.Start(server, MonotonicClock::now()), ChoiceStep::Failed);
    EXPECT_EQ(choice.Next(server, MonotonicClock::now()), ChoiceStep::Exhausted);

    ServerChoice none(test.ctx, SMTP, ProtocalInfoList{}, ConnectBounds{});
    EXPECT_EQ(none.Start(server, MonotonicClock::now()), ChoiceStep::Exhausted);
    EXPECT_FALSE(server.sock.Valid());
}

}  // namespace
