#include "detect/AutoMailChecker.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/LoopbackPeer.h"
#include "support/RecordingNotifier.h"
#include "support/UnansweredPort.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class AutoMailCheckerTest : public ::testing::Test {
protected:
    // Opens and connects to 127.0.0.1:port; true when both worked.
    bool Dial(int port, bool useTls) {
        sockaddr_in address{};
        if (checker.Open("127.0.0.1", port, address, useTls) <= 0) return false;
        return checker.Connect(address, useTls) == 0;
    }

    UserConfig config{};
    RecordingNotifier pane;
    TlsClientContext tlsClient;
    AutoMailChecker checker{config, pane, tlsClient};
};

TEST_F(AutoMailCheckerTest, OpenResolvesNamesAsTheProxyDoes) {
    sockaddr_in address{};
    // A name goes to its first IPv4 address; one that does not resolve is no address.
    int named = checker.Open("localhost", 25, address, false);
    EXPECT_GT(named, 0);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
    checker.Close(false);
    EXPECT_EQ(checker.Open("mail.qm.invalid", 25, address, true), kOpenNotAnAddress);
    EXPECT_EQ(checker.Open("", 25, address, false), kOpenNotAnAddress);
    EXPECT_EQ(checker.sock, -1);
    EXPECT_FALSE(checker.tls.Attached());
    checker.Close(true);  // nothing was opened: nothing to close

    int fd = checker.Open("127.0.0.1", 65536 + 25, address, false);
    EXPECT_GT(fd, 0);
    EXPECT_EQ(ntohs(address.sin_port), 25);  // the port is a 16-bit number
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, ConnectToClosedPortGivesSocketError) {
    sockaddr_in address{};
    ASSERT_GT(checker.Open("127.0.0.1", FreePort(), address, false), 0);
    EXPECT_EQ(checker.Connect(address, false), kConnectFailed);
    EXPECT_EQ(checker.LastSocketError(), ECONNREFUSED);
    EXPECT_EQ(checker.sendMillis, 0);  // a failed connect is not metered
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, ConnectToAServerThatNeverAnswersGivesUpAtTheBound) {
    EXPECT_EQ(checker.connectSeconds, 10) << "the product's bound";
    UnansweredPort silent;
    checker.connectSeconds = 1;
    for (bool tls : {false, true}) {
        sockaddr_in address{};
        ASSERT_GT(checker.Open("127.0.0.1", silent.port(), address, tls), 0);
        auto start = Clock::now();
        EXPECT_EQ(checker.Connect(address, tls), kConnectFailed);
        EXPECT_GE(SecondsSince(start), 0.9);
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_EQ(checker.LastSocketError(), ETIMEDOUT);
        checker.Close(tls);
    }
}

TEST_F(AutoMailCheckerTest, GreetingInPiecesShowsEachPieceUpToTheLineBreak) {
    LoopbackPeer peer([](PeerLink& link) {
        link.Send("220 first ");
        std::this_thread::sleep_for(150ms);
        link.Send("second\r\n");
        std::this_thread::sleep_for(150ms);
        link.Send("250 late\r\n");
        link.WaitClosed(5s);
    });
    ASSERT_TRUE(Dial(peer.port(), false));
    EXPECT_EQ(checker.ReadGreeting(GreetingVariant::SMTP, "MAIL", false), 0);
    std::vector<std::string> lines = pane.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "MAIL < 220 first ");
    EXPECT_EQ(lines[1], "MAIL < second\r\n");
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, SilentPlainServerTimesOutAfterTenSeconds) {
    LoopbackPeer peer([](PeerLink& link) { link.WaitClosed(20s); });
    ASSERT_TRUE(Dial(peer.port(), false));
    auto start = Clock::now();
    EXPECT_EQ(checker.ReadGreeting(GreetingVariant::POP3, "MAIL", false), kWaitTimedOut);
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LT(SecondsSince(start), 12.0);
    EXPECT_TRUE(pane.Lines().empty());
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, CommandCollectsReplyUntilChunkWithLineBreak) {
    LoopbackPeer peer([](PeerLink& link) {
        link.Send("220 hi\r\n");
        if (!link.ReadLine()) return;
        link.Send("250-first");
        std::this_thread::sleep_for(150ms);
        link.Send(" part\r\n250 second\r\n");
        if (!link.ReadLine()) return;
        link.Send("221 bye\r\n");
        link.WaitClosed(5s);
    });
    ASSERT_TRUE(Dial(peer.port(), false));
    ASSERT_EQ(checker.ReadGreeting(GreetingVariant::SMTP, "MAIL", false), 0);
    auto reply = checker.Command("EHLO x\r\n", false);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "250-first part\r\n250 second\r\n");
    EXPECT_FALSE(AutoMailChecker::ReplyStartsWith(*reply, "250 "));
    reply = checker.Command("QUIT\r\n", false);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(AutoMailChecker::ReplyStartsWith(*reply, "221 "));
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, LineBreakSplitAcrossChunksIsNotSeen) {
    LoopbackPeer peer([](PeerLink& link) {
        if (!link.ReadLine()) return;
        link.Send("250 ok\r");
        std::this_thread::sleep_for(300ms);
        link.Send("\n");
        link.WaitClosed(20s);
    });
    ASSERT_TRUE(Dial(peer.port(), false));
    auto start = Clock::now();
    EXPECT_FALSE(checker.Command("NOOP\r\n", false).has_value());
    EXPECT_GE(SecondsSince(start), 9.5);
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, ReplyEndsWhenServerCloses) {
    LoopbackPeer peer([](PeerLink& link) {
        if (!link.ReadLine()) return;
        link.Send("421 going");
    });
    ASSERT_TRUE(Dial(peer.port(), false));
    auto reply = checker.Command("NOOP\r\n", false);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "421 going");
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, MetersStartAtZeroAndCountAtLeastOneMillisecondPerStep) {
    LoopbackPeer peer([](PeerLink& link) {
        link.Send("+OK hi\r\n");
        while (auto line = link.ReadLine()) link.Send("+OK\r\n");
    });
    ASSERT_TRUE(Dial(peer.port(), false));
    EXPECT_GE(checker.sendMillis, 1);
    EXPECT_EQ(checker.sendMillis, checker.receiveMillis);  // the connect step, in both
    int32_t afterConnect = checker.sendMillis;
    ASSERT_EQ(checker.ReadGreeting(GreetingVariant::POP3, "MAIL", false), 0);
    EXPECT_GE(checker.receiveMillis, afterConnect + 2);  // metered wait and read
    EXPECT_EQ(checker.sendMillis, afterConnect);
    ASSERT_TRUE(checker.Command("NOOP\r\n", false).has_value());
    EXPECT_EQ(checker.bytesSent, 6);
    EXPECT_EQ(checker.bytesReceived, 8 + 5);
    EXPECT_GE(checker.sendMillis, afterConnect + 1);
    checker.Close(false);

    // A second dialogue on the same object starts from zero.
    sockaddr_in address{};
    ASSERT_GT(checker.Open("127.0.0.1", peer.port(), address, false), 0);
    EXPECT_EQ(checker.bytesSent, 0);
    EXPECT_EQ(checker.sendMillis, 0);
    EXPECT_EQ(checker.bytesReceived, 0);
    EXPECT_EQ(checker.receiveMillis, 0);
    checker.Close(false);
}

TEST_F(AutoMailCheckerTest, TlsDialogueWorksAndUsesBufferedRecords) {
    // A POP3 greeting of 1000 bytes arrives as one TLS record: the second
    // 512-byte chunk is already inside the TLS layer, not on the socket.
    LoopbackPeer peer(
        [](PeerLink& link) {
            link.Send("+OK " + std::string(994, 'g') + "\r\n");
            if (!link.ReadLine()) return;
            link.Send("+OK Logging out.\r\n");
            link.WaitClosed(5s);
        },
        true);
    ASSERT_TRUE(Dial(peer.port(), true));
    ASSERT_TRUE(checker.tls.Attached());
    auto start = Clock::now();
    EXPECT_EQ(checker.ReadGreeting(GreetingVariant::POP3, "MAIL-SSL", true), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(pane.Lines().size(), 2u);
    auto reply = checker.Command("QUIT\r\n", true);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "+OK Logging out.\r\n");
    checker.Close(true);
    EXPECT_FALSE(checker.tls.Attached());
    EXPECT_EQ(checker.sock, -1);
}

TEST_F(AutoMailCheckerTest, HandshakeWithPlainServerFailsAndClosesTheSocket) {
    LoopbackPeer peer([](PeerLink& link) {
        link.Send("220 plain only\r\n");
        link.WaitClosed(5s);
    });
    sockaddr_in address{};
    ASSERT_GT(checker.Open("127.0.0.1", peer.port(), address, true), 0);
    EXPECT_EQ(checker.Connect(address, true), kConnectHandshakeFailed);
    EXPECT_EQ(checker.sock, -1);
    EXPECT_EQ(checker.sendMillis, 0);
    checker.Close(true);
    EXPECT_FALSE(checker.tls.Attached());
}

TEST_F(AutoMailCheckerTest, SilentHandshakeEndsAfterTenSeconds) {
    LoopbackPeer peer([](PeerLink& link) { link.WaitClosed(20s); });  // plain: never answers TLS
    sockaddr_in address{};
    ASSERT_GT(checker.Open("127.0.0.1", peer.port(), address, true), 0);
    auto start = Clock::now();
    EXPECT_EQ(checker.Connect(address, true), kConnectHandshakeFailed);
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LT(SecondsSince(start), 12.0);
    checker.Close(true);
}

TEST(ReplyStartsWithTest, ComparesTheWholeCodeCaseSensitively) {
    EXPECT_TRUE(AutoMailChecker::ReplyStartsWith("250 2.1.0 Ok\r\n", "250 "));
    EXPECT_FALSE(AutoMailChecker::ReplyStartsWith("250-PIPELINING\r\n", "250 "));
    EXPECT_FALSE(AutoMailChecker::ReplyStartsWith("+OK\r\n", "+OK "));
    EXPECT_FALSE(AutoMailChecker::ReplyStartsWith("+ok done\r\n", "+OK "));
    EXPECT_FALSE(AutoMailChecker::ReplyStartsWith("25", "250 "));
    EXPECT_TRUE(AutoMailChecker::ReplyStartsWith("-ERR no\r\n", "-ERR"));
}

TEST(TranscriptLineTest, LongLinesAreCutTo1023Characters) {
    UserConfig config{};
    RecordingNotifier pane;
    TlsClientContext tlsClient;
    AutoMailChecker checker(config, pane, tlsClient);
    checker.Show("%s < %s", "MAIL", std::string(5000, 'x').c_str());
    ASSERT_EQ(pane.Lines().size(), 1u);
    EXPECT_EQ(pane.Lines()[0].size(), 1023u);
}

}  // namespace
