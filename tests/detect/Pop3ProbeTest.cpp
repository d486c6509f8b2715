#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "detect/AutoMailChecker.h"
#include "detect/FakeMailDialogues.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"

namespace {

using Clock = std::chrono::steady_clock;

class Pop3ProbeTest : public ::testing::Test {
protected:
    Pop3ProbeTest() { SetTestAccount(config); }

    int32_t Probe(const LoopbackPeer& peer, int32_t type = MAIL) {
        ProtocalInfo candidate = MakeCandidate(type, "127.0.0.1", 25, peer.port());
        return checker.ProbePop3(&candidate);
    }

    UserConfig config{};
    RecordingNotifier pane;
    TlsClientContext tlsClient;
    AutoMailChecker checker{config, pane, tlsClient};
    Pop3Script script;
    Pop3Record record;
};

TEST_F(Pop3ProbeTest, FullDialogueFetchesMessageOneAndMasksThePassword) {
    LoopbackPeer peer(Pop3Dialogue(script, record));
    ASSERT_EQ(Probe(peer), 0);
    std::vector<std::string> sent = {"USER probe@qm.test\r\n", "PASS probe-pass\r\n", "STAT\r\n",
                                     "RETR 1\r\n", "QUIT\r\n"};
    EXPECT_EQ(record.Lines(), sent);
    std::vector<std::string> expected = {
        "[Connecting 127.0.0.1 : " + std::to_string(peer.port()) + "]\r\n",
        "MAIL < +OK Dovecot ready.\r\n",
        "MAIL > user probe@qm.test\r\n",
        "MAIL < +OK\r\n",
        "MAIL > pass ****\r\n",
        "MAIL < +OK Logged in.\r\n",
        "MAIL > STAT\r\n",
        "MAIL < (skipping...)\r\n",
        "MAIL > RETR 1\r\n",
        "MAIL < (skipping...)\r\n",
        "MAIL > QUIT\r\n",
        "MAIL < +OK Logging out.\r\n",
        "[Connection 127.0.0.1 success]\r\n",
    };
    EXPECT_EQ(pane.Lines(), expected);
    EXPECT_EQ(pane.Pane().find("probe-pass"), std::string::npos);
    EXPECT_GE(checker.receiveMillis, 1);
    EXPECT_GT(checker.bytesReceived, 3000);
}

TEST_F(Pop3ProbeTest, DeletesMessageOneOnlyFromFiveHundredMessagesOn) {
    script.count = 499;
    {
        LoopbackPeer peer(Pop3Dialogue(script, record));
        ASSERT_EQ(Probe(peer), 0);
    }
    EXPECT_FALSE(record.Received("DELE 1\r\n"));

    script.count = 500;
    Pop3Record full;
    LoopbackPeer peer(Pop3Dialogue(script, full));
    pane.Clear();
    ASSERT_EQ(Probe(peer), 0);
    EXPECT_TRUE(full.Received("DELE 1\r\n"));
    EXPECT_NE(pane.Pane().find("MAIL > DELE 1\r\nMAIL < +OK Marked to be deleted.\r\nMAIL > QUIT"),
              std::string::npos);
}

TEST_F(Pop3ProbeTest, RefusedDeleteFailsTheProbe) {
    script.count = 700;
    script.dele = "-ERR no\r\n";
    LoopbackPeer peer(Pop3Dialogue(script, record));
    EXPECT_EQ(Probe(peer), CodeOf(DetectionResult::QuitFailed));
    EXPECT_FALSE(record.Received("QUIT\r\n"));
}

TEST_F(Pop3ProbeTest, EmptyMailboxFailsAfterTheSkippingLineWithoutRetr) {
    script.count = 0;
    LoopbackPeer peer(Pop3Dialogue(script, record));
    EXPECT_EQ(Probe(peer), CodeOf(DetectionResult::Pop3MailboxFailed));
    EXPECT_FALSE(record.Received("RETR 1\r\n"));
    std::vector<std::string> lines = pane.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "MAIL < (skipping...)\r\n");
}

TEST_F(Pop3ProbeTest, StatRepliesAreJudgedByErrAndNumberOnly) {
    script.stat = "-ERR mailbox locked\r\n";
    {
        LoopbackPeer peer(Pop3Dialogue(script, record));
        EXPECT_EQ(Probe(peer), CodeOf(DetectionResult::Pop3MailboxFailed));
    }
    script.stat = "* 3 3000\r\n";  // neither -ERR nor +OK, but a number after one word
    Pop3Record odd;
    LoopbackPeer peer(Pop3Dialogue(script, odd));
    EXPECT_EQ(Probe(peer), 0);
}

TEST_F(Pop3ProbeTest, RejectedUserStillGetsPassAndOnlyPassIsJudged) {
    script.user = "-ERR who?\r\n";
    {
        LoopbackPeer peer(Pop3Dialogue(script, record));
        EXPECT_EQ(Probe(peer), 0);
    }
    EXPECT_TRUE(record.Received("PASS probe-pass\r\n"));

    script.user = "+OK\r\n";
    script.pass = "-ERR [AUTH] Authentication failed.\r\n";
    Pop3Record refused;
    LoopbackPeer peer(Pop3Dialogue(script, refused));
    EXPECT_EQ(Probe(peer), CodeOf(DetectionResult::Pop3LoginFailed));
    EXPECT_FALSE(refused.Received("STAT\r\n"));
}

TEST_F(Pop3ProbeTest, RetrErrorAndServerClosingMidMessageFailWithMailboxCode) {
    script.retrStatus = "-ERR no such message\r\n";
    script.message.clear();
    script.sendEnd = false;
    {
        LoopbackPeer peer(Pop3Dialogue(script, record));
        EXPECT_EQ(Probe(peer), CodeOf(DetectionResult::Pop3MailboxFailed));
    }
    LoopbackPeer closing([](PeerLink& link) {
        link.Send("+OK ready\r\n");
        for (const char* reply : {"+OK\r\n", "+OK Logged in.\r\n", "+OK 1 3000\r\n"}) {
            if (!link.ReadLine()) return;
            link.Send(reply);
        }
        if (!link.ReadLine()) return;
        link.Send("+OK 3000 octets\r\n" + std::string(600, 'x'));
        std::this_thread::sleep_for(100ms);
        link.Send(std::string(600, 'y'));
    });
    pane.Clear();
    auto start = Clock::now();
    EXPECT_EQ(Probe(closing), CodeOf(DetectionResult::Pop3MailboxFailed));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

TEST_F(Pop3ProbeTest, MessageEndingInTheFirstChunkIsSeenAsEnded) {
    script.message = "short message\r\n";
    LoopbackPeer peer(Pop3Dialogue(script, record));
    auto start = Clock::now();
    EXPECT_EQ(Probe(peer), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

// Serves one POP3 dialogue whose RETR reply is sent in the two given pieces.
LoopbackPeer::Handler RetrInTwoPieces(std::string first, std::string second) {
    return [first, second](PeerLink& link) {
        link.Send("+OK Dovecot ready.\r\n");
        for (const char* reply : {"+OK\r\n", "+OK Logged in.\r\n", "+OK 1 3000\r\n"}) {
            if (!link.ReadLine()) return;
            link.Send(reply);
        }
        if (!link.ReadLine()) return;
        link.Send(first);
        std::this_thread::sleep_for(200ms);
        link.Send(second);
        if (!link.ReadLine()) return;
        link.Send("+OK Logging out.\r\n");
    };
}

TEST_F(Pop3ProbeTest, EndOfDataSplitBetweenTheFirstReadAndTheNextIsSeen) {
    // The status line and a short message fill less than one read, which
    // then ends in "\r\n."; the last "\r\n" comes with the next read.
    LoopbackPeer split(RetrInTwoPieces("+OK 300 octets\r\n" + std::string(290, 'm') + "\r\n.", "\r\n"));
    auto start = Clock::now();
    EXPECT_EQ(Probe(split), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

TEST_F(Pop3ProbeTest, EndOfDataSplitOverTwoReadsIsStillSeen) {
    // A message of an unlucky size puts "\r\n." at the end of one read and
    // "\r\n" at the start of the next; missing it would fail every later run
    // too, as the message is then never deleted.
    LoopbackPeer split(RetrInTwoPieces("+OK 3000 octets\r\n" + std::string(2990, 'm') + "\r\n.", "\r\n"));
    auto start = Clock::now();
    EXPECT_EQ(Probe(split), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

TEST_F(Pop3ProbeTest, TlsCandidateRunsTheSameDialogue) {
    LoopbackPeer peer(Pop3Dialogue(script, record), true);
    ASSERT_EQ(Probe(peer, MAIL_SSL), 0);
    EXPECT_NE(pane.Pane().find("MAIL-SSL > RETR 1\r\n"), std::string::npos);
}

TEST_F(Pop3ProbeTest, HostNameAndMissingCandidate) {
    ProtocalInfo candidate = MakeCandidate(MAIL_SSL, "pop.qm.invalid", 25, 995);
    EXPECT_EQ(checker.ProbePop3(&candidate), kOpenNotAnAddress);
    std::vector<std::string> expected = {"[Connecting pop.qm.invalid : 995]\r\n",
                                         "[Connection pop.qm.invalid failed]\r\n"};
    EXPECT_EQ(pane.Lines(), expected);
    EXPECT_EQ(checker.ProbePop3(nullptr), CodeOf(DetectionResult::NoCandidate));
}

TEST(HasEndOfDataTest, FindsTheWholeSequenceWithinOneChunkOnly) {
    EXPECT_TRUE(AutoMailChecker::HasEndOfData("abc\r\n.\r\n", 8));
    EXPECT_FALSE(AutoMailChecker::HasEndOfData("abc\r\n.\r", 7));
    EXPECT_FALSE(AutoMailChecker::HasEndOfData("\n.\r\n", 4));
    const char withNul[] = {'x', '\0', '\r', '\n', '.', '\r', '\n'};
    EXPECT_TRUE(AutoMailChecker::HasEndOfData(withNul, sizeof withNul));
}

}  // namespace
