#include "report/ReportLog.h"
#include "report/UserMailText.h"

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "detect/FakeMailDialogues.h"
#include "support/ContextFixture.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"

namespace {

class ReportLogTest : public ContextFixture<AppContext> {
protected:
    ReportLogTest() : ContextFixture(100000000) {}

    void SetUp() override {
        ctx.userConfig.LOG_REPORT_SIZE = 100000;
        std::strcpy(ctx.userConfig.LOGIN_NAME, "probe@qm.test");
        std::strcpy(ctx.userConfig.LOGIN_PASS, "secret-pass");
        std::strcpy(ctx.userConfig.MAIL_FROM, "probe@qm.test");
        std::strcpy(ctx.userConfig.RCPT_TO, "probe@qm.test");
        std::strcpy(ctx.userConfig.LOG_RCPT_TO, "support@qm.test");
        ctx.userConfig.USER_MAIL.Set("user@example.org");
        dir.Write("Quillomark.log", "2009/03/05 14:07:09 [DETECT][MINOR] auto detect end\n");
    }

    ProtocalInfo Connection(int port) {
        ProtocalInfo info;
        info.SetDest("127.0.0.1");
        info.Port[SMTP] = port;
        return info;
    }
    int32_t Report(int port) {
        ProtocalInfo connection = Connection(port);
        AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
        return ReportLog(ctx, checker, &connection);
    }

    RecordingNotifier pane;
    SmtpScript script;
    SmtpRecord record;
};

TEST_F(ReportLogTest, ReportMailGoesToTheSupportMailbox) {
    LoopbackPeer server(SmtpDialogue(script, record));
    EXPECT_EQ(Report(server.port()), 0);

    std::vector<std::string> lines = record.Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "HELO 127.0.0.1\r\n");
    EXPECT_EQ(lines[4], "MAIL FROM: <probe@qm.test>\r\n");
    EXPECT_EQ(lines[5], "RCPT TO: <support@qm.test>\r\n");
    EXPECT_EQ(lines[6], "DATA\r\n");
    EXPECT_EQ(lines[7], "QUIT\r\n");

    std::string message = record.Message();
    std::string head =
        "From: \"user@example.org\" <user@example.org>\r\nSubject: [KOVRA] LOG REPORT from user "
        "[user@example.org]\r\nTo: support@qm.test\r\nDate: ";
    EXPECT_EQ(message.rfind(head, 0), 0u) << message;
    std::string rest = "\r\nMIME-Version: 1.0\r\nReturn-Path: user@example.org\r\nContent-Type: text/plain\r\n\r\n\r\n"
                       "======Log File(REPORT_SIZE = 100000 bytes)======\n"
                       "NOTE: bak file /Quillomark.bak NOT EXIST\n\n"
                       "2009/03/05 14:07:09 [DETECT][MINOR] auto detect end\n"
                       "\n======Detect Result File======\n"
                       "NOTE: detect result file /detect_result.log NOT EXIST\n"
                       "\r\n\r\n.\r\n";
    ASSERT_GE(message.size(), rest.size());
    EXPECT_EQ(message.substr(message.size() - rest.size()), rest) << message;
}

TEST_F(ReportLogTest, NoConnectionShowsOnlyTheFirstLine) {
    AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
    EXPECT_EQ(ReportLog(ctx, checker, nullptr), CodeOf(DetectionResult::NoCandidate));
    EXPECT_EQ(pane.Lines(), std::vector<std::string>{"Report log to support@qm.test...\r\n"});
}

TEST_F(ReportLogTest, FailedStepsKeepTheProbeCodes) {
    struct Case {
        std::string SmtpScript::*reply;
        DetectionResult code;
    };
    using R = DetectionResult;
    const Case cases[] = {
        {&SmtpScript::auth, R::SmtpAuthFailed},         {&SmtpScript::pass, R::SmtpAuthFailed},
        {&SmtpScript::mailFrom, R::SmtpMailFromFailed}, {&SmtpScript::rcptTo, R::SmtpRcptToFailed},
        {&SmtpScript::data, R::SmtpDataFailed},         {&SmtpScript::endOfData, R::SmtpEndOfDataFailed},
        {&SmtpScript::quit, R::QuitFailed},
    };
    for (const Case& c : cases) {
        SmtpScript failing;
        failing.*c.reply = "554 5.7.1 refused\r\n";
        SmtpRecord seen;
        LoopbackPeer server(SmtpDialogue(failing, seen));
        pane.Clear();
        EXPECT_EQ(Report(server.port()), CodeOf(c.code)) << failing.*c.reply;
        EXPECT_EQ(pane.Lines().back(), "Report log fail\r\n");
    }
    pane.Clear();
    EXPECT_GT(Report(FreePort()), 0);  // the socket layer's error number
    EXPECT_EQ(pane.Lines(), (std::vector<std::string>{"Report log to support@qm.test...\r\n", "Report log fail\r\n"}));
    ProtocalInfo named = Connection(25);
    named.SetDest("mail.qm.test");
    AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
    EXPECT_EQ(ReportLog(ctx, checker, &named), kOpenNotAnAddress);
}

TEST_F(ReportLogTest, UnreadableLogEndsTheMailWithoutItsEndOfData) {
    std::filesystem::remove(dir.File("Quillomark.log"));
    LoopbackPeer server(SmtpDialogue(script, record));
    EXPECT_EQ(Report(server.port()), CodeOf(ReportResult::LogFileFailed));
    EXPECT_EQ(record.Message(), "");  // the end of data never came
    EXPECT_EQ(pane.Lines().back(), "Report log fail\r\n");
    EXPECT_EQ(pane.Pane().find("(skipping...)"), std::string::npos);
}

// An address with a line break would put its own header lines, or SMTP
// commands, into the report; the report refuses it before connecting.
TEST_F(ReportLogTest, StoredAddressWithAControlCharacterIsRefusedBeforeConnecting) {
    for (const char* stored : {"user@example.org\r\nBcc: all@example.org", "user@example.org\n",
                               "user\t@example.org", "user@example.org\x7f"}) {
        ctx.userConfig.USER_MAIL.Set(stored);
        SmtpRecord seen;
        LoopbackPeer server(SmtpDialogue(script, seen));
        pane.Clear();
        EXPECT_EQ(Report(server.port()), CodeOf(ReportResult::UserMailRefused)) << stored;
        EXPECT_TRUE(seen.Lines().empty()) << stored;
        EXPECT_EQ(pane.Lines(), (std::vector<std::string>{"Report log to support@qm.test...\r\n",
                                                          "Report log fail\r\n"}));
    }
    EXPECT_NE(ReadLog(dir).find("[UI][MAJOR] ERROR: user mail address holds a control character\n"),
              std::string::npos);

    ctx.userConfig.USER_MAIL.Set("jos\xc3\xa9@example.org");  // UTF-8 is no control character
    LoopbackPeer server(SmtpDialogue(script, record));
    EXPECT_EQ(Report(server.port()), 0);
}

}  // namespace
