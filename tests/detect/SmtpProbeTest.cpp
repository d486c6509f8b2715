#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "detect/AutoMailChecker.h"
#include "detect/FakeMailDialogues.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"
#include "detect/TestMail.h"

namespace {

using Clock = std::chrono::steady_clock;

class SmtpProbeTest : public ::testing::Test {
protected:
    SmtpProbeTest() { SetTestAccount(config); }

    int32_t Probe(const LoopbackPeer& peer, int32_t type = MAIL) {
        ProtocalInfo candidate = MakeCandidate(type, "127.0.0.1", peer.port(), 110);
        return checker.ProbeSmtp(&candidate);
    }

    UserConfig config{};
    RecordingNotifier pane;
    TlsClientContext tlsClient;
    AutoMailChecker checker{config, pane, tlsClient};
    SmtpScript script;
    SmtpRecord record;
};

TEST_F(SmtpProbeTest, FullDialogueSendsTheTestMailAndShowsAMaskedTranscript) {
    LoopbackPeer peer(SmtpDialogue(script, record));
    ASSERT_EQ(Probe(peer), 0);

    std::vector<std::string> sent = record.Lines();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[0], "HELO 127.0.0.1\r\n");
    EXPECT_EQ(sent[1], "AUTH LOGIN\r\n");
    EXPECT_EQ(sent[2], "cHJvYmVAcW0udGVzdA==\r\n");
    EXPECT_EQ(sent[3], "cHJvYmUtcGFzcw==\r\n");
    EXPECT_EQ(sent[4], "MAIL FROM: <probe@qm.test>\r\n");
    EXPECT_EQ(sent[5], "RCPT TO: <probe@qm.test>\r\n");
    EXPECT_EQ(sent[6], "DATA\r\n");
    EXPECT_EQ(sent[7], "QUIT\r\n");

    std::string p = std::to_string(peer.port());
    std::vector<std::string> expected = {
        "[Connecting 127.0.0.1 : " + p + "]\r\n",
        "MAIL < " + script.greeting,
        "MAIL > HELO 127.0.0.1\r\n",
        "MAIL < " + script.helo,
        "MAIL > AUTH LOGIN\r\n",
        "MAIL < " + script.auth,
        "MAIL > *******\r\n",
        "MAIL < " + script.user,
        "MAIL > *******\r\n",
        "MAIL < " + script.pass,
        "MAIL > MAIL FROM: <probe@qm.test>\r\n",
        "MAIL < " + script.mailFrom,
        "MAIL > RCPT TO: <probe@qm.test>\r\n",
        "MAIL < " + script.rcptTo,
        "MAIL > DATA\r\n",
        "MAIL < " + script.data,
        "MAIL > (skipping...)\r\n",
        "MAIL < " + script.endOfData,
        "MAIL > QUIT\r\n",
        "MAIL < " + script.quit,
        "[Connection 127.0.0.1 success]\r\n",
    };
    EXPECT_EQ(pane.Lines(), expected);
    std::string all = pane.Pane();
    EXPECT_EQ(all.find("probe-pass"), std::string::npos);
    EXPECT_EQ(all.find("cHJvYmU"), std::string::npos);
    EXPECT_GE(checker.sendMillis, 1);
    EXPECT_GT(checker.bytesSent, 10000);
}

TEST_F(SmtpProbeTest, TestMailHasHeaderBlockAndAboutTenKilobytesOfSentences) {
    LoopbackPeer peer(SmtpDialogue(script, record));
    ASSERT_EQ(Probe(peer), 0);
    std::string message = record.Message();
    const std::string header =
        "From: \"probe@qm.test\" <probe@qm.test>\r\nSubject: [KOVRA] SMTP TESTING!!!\r\n"
        "To: probe@qm.test\r\nDate: ";
    ASSERT_EQ(message.compare(0, header.size(), header), 0);
    std::size_t bodyAt = message.find("Content-Type: text/plain\r\n\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    std::size_t headerLength = bodyAt + 30;
    std::string body = message.substr(headerLength);
    ASSERT_GE(body.size(), 7u);
    EXPECT_EQ(body.substr(body.size() - 7), "\r\n\r\n.\r\n");
    std::string sentences = body.substr(0, body.size() - 7);
    ASSERT_EQ(sentences.size() % kTestMailSentenceLength, 0u);
    std::size_t count = sentences.size() / kTestMailSentenceLength;
    std::size_t loop = (kTestMailFill - headerLength + kTestMailSentenceLength - 1) / kTestMailSentenceLength;
    EXPECT_EQ(count, loop + 1);
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(sentences.compare(i * 36, 36, kTestMailSentence), 0) << i;
    EXPECT_NE(message.find("MIME-Version: 1.0\r\nReturn-Path: probe@qm.test\r\n"), std::string::npos);
}

TEST_F(SmtpProbeTest, LongSenderCutsHeaderBlockToOneWriteOf512) {
    std::string longFrom(127, 'f');
    std::strcpy(config.MAIL_FROM, longFrom.c_str());
    LoopbackPeer peer(SmtpDialogue(script, record));
    ASSERT_EQ(Probe(peer), 0);
    std::string message = record.Message();
    ASSERT_GT(message.size(), 512u);
    // The header's end never went out: the sentences follow its first 512 characters.
    EXPECT_EQ(message.find("Content-Type"), std::string::npos);
    EXPECT_EQ(message.compare(512, 36, kTestMailSentence), 0);
}

TEST_F(SmtpProbeTest, RejectedHeloIsShownButNotJudged) {
    script.helo = "501 Syntax: HELO hostname\r\n";
    LoopbackPeer peer(SmtpDialogue(script, record));
    EXPECT_EQ(Probe(peer), 0);
    EXPECT_NE(pane.Pane().find("MAIL < 501 Syntax"), std::string::npos);
}

TEST_F(SmtpProbeTest, EachRefusedStepGivesItsCode) {
    struct Case {
        std::string SmtpScript::*reply;
        DetectionResult code;
    };
    using R = DetectionResult;
    const Case cases[] = {
        {&SmtpScript::auth, R::SmtpAuthFailed},     {&SmtpScript::user, R::SmtpAuthFailed},
        {&SmtpScript::pass, R::SmtpAuthFailed},     {&SmtpScript::mailFrom, R::SmtpMailFromFailed},
        {&SmtpScript::rcptTo, R::SmtpRcptToFailed}, {&SmtpScript::data, R::SmtpDataFailed},
        {&SmtpScript::endOfData, R::SmtpEndOfDataFailed}, {&SmtpScript::quit, R::QuitFailed},
    };
    for (const Case& c : cases) {
        SmtpScript refusing;
        refusing.*(c.reply) = "535 5.7.8 Error: no\r\n";
        SmtpRecord seen;
        LoopbackPeer peer(SmtpDialogue(refusing, seen));
        pane.Clear();
        EXPECT_EQ(Probe(peer), CodeOf(c.code)) << ToText(c.code);
        std::vector<std::string> lines = pane.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "[Connection 127.0.0.1 failed]\r\n");
        EXPECT_EQ(lines[lines.size() - 2], "MAIL < 535 5.7.8 Error: no\r\n");
    }
}

TEST_F(SmtpProbeTest, LongLoginNameIsSentAsTwoLines) {
    std::string name(60, 'n');
    std::strcpy(config.LOGIN_NAME, name.c_str());
    LoopbackPeer peer(SmtpDialogue(script, record));
    Probe(peer);
    std::vector<std::string> sent = record.Lines();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[2].size(), 78u);  // 76 characters and the codec's own CR LF
    EXPECT_EQ(sent[3], "bm5u\r\n");
}

TEST_F(SmtpProbeTest, HostNameCandidateFailsWithoutConnecting) {
    ProtocalInfo candidate = MakeCandidate(MAIL, "mail.qm.invalid", 25, 110);
    EXPECT_EQ(checker.ProbeSmtp(&candidate), kOpenNotAnAddress);
    std::vector<std::string> expected = {"[Connecting mail.qm.invalid : 25]\r\n",
                                         "[Connection mail.qm.invalid failed]\r\n"};
    EXPECT_EQ(pane.Lines(), expected);
    EXPECT_EQ(checker.ProbeSmtp(nullptr), CodeOf(DetectionResult::NoCandidate));
    EXPECT_EQ(pane.Lines().size(), 2u);
}

TEST_F(SmtpProbeTest, ClosedPortGivesTheSocketErrorNumber) {
    ProtocalInfo candidate = MakeCandidate(MAIL, "127.0.0.1", FreePort(), 110);
    EXPECT_EQ(checker.ProbeSmtp(&candidate), ECONNREFUSED);
    EXPECT_EQ(pane.Lines().back(), "[Connection 127.0.0.1 failed]\r\n");
}

TEST_F(SmtpProbeTest, TlsCandidateRunsTheSameDialogue) {
    LoopbackPeer peer(SmtpDialogue(script, record), true);
    ASSERT_EQ(Probe(peer, MAIL_SSL), 0);
    EXPECT_NE(pane.Pane().find("MAIL-SSL > AUTH LOGIN\r\n"), std::string::npos);
    EXPECT_EQ(record.Lines().size(), 8u);
}

TEST_F(SmtpProbeTest, SilentTlsServerEndsTheProbeAfterTenSeconds) {
    LoopbackPeer peer([](PeerLink& link) { link.WaitClosed(30s); }, true);
    auto start = Clock::now();
    EXPECT_EQ(Probe(peer, MAIL_SSL), kWaitTimedOut);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 13.0);
    EXPECT_EQ(pane.Lines().back(), "[Connection 127.0.0.1 failed]\r\n");
}

}  // namespace
