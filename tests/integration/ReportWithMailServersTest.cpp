// The log report against the real mail servers: the mail that arrives in the
// support mailbox holds exactly the parts the report composes.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/ReportLog.h"
#include "support/ChildProcess.h"
#include "support/ContextFixture.h"
#include "support/MailServerSuite.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"

namespace {

const std::string kBakNote = "NOTE: bak file /Quillomark.bak NOT EXIST\n\n";
const std::string kResultNote = "NOTE: detect result file /detect_result.log NOT EXIST\n";

class ReportWithMailServersTest : public ContextFixture<AppContext, MailServerSuite> {
protected:
    ReportWithMailServersTest() : ContextFixture(100000000) {}

    void SetUp() override {
        MailServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ctx.mainWindow = &pane;
        UserConfig& c = ctx.userConfig;
        c.LOG_REPORT_SIZE = 2000;
        std::strcpy(c.LOGIN_NAME, Servers().Get("PROBE_USER").c_str());
        std::strcpy(c.LOGIN_PASS, Servers().Get("PROBE_PASS").c_str());
        std::strcpy(c.MAIL_FROM, Servers().Get("PROBE_ADDR").c_str());
        std::strcpy(c.RCPT_TO, Servers().Get("PROBE_ADDR").c_str());
        std::strcpy(c.LOG_RCPT_TO, Servers().Get("SUPPORT_ADDR").c_str());
        c.USER_MAIL.Set("user@qm.test");
        mailbox = Servers().Get("MAILDIR_SUPPORT");
        ClearMaildir(mailbox);
    }

    ProtocalInfo Connection(bool tls) const {
        ProtocalInfo info;
        info.Type = tls ? MAIL_SSL : MAIL;
        info.IsSSL = tls;
        info.SetDest("127.0.0.1");
        info.Port[SMTP] = Servers().Port(tls ? "SMTPS_PORT" : "SMTP_PORT");
        return info;
    }
    int32_t Report(bool tls = false) {
        ProtocalInfo connection = Connection(tls);
        return ReportLog(ctx, &connection);
    }

    // The one mail in the support mailbox, split into its header and body.
    bool DeliveredMail(std::string* header, std::string* body) {
        std::string path;
        bool arrived = WaitUntil(
            [&] {
                std::error_code ignored;
                for (const auto& entry : std::filesystem::directory_iterator(mailbox + "/new", ignored))
                    path = entry.path();
                return !path.empty();
            },
            std::chrono::seconds(10));
        if (!arrived) return false;
        std::ifstream in(path, std::ios::binary);
        std::string mail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t split = mail.find("\n\n");
        if (split == std::string::npos) return false;
        *header = mail.substr(0, split + 1);
        *body = mail.substr(split + 2);
        return true;
    }
    // The body the report composes around the log data.
    std::string Body(const std::string& logData, const std::string& resultPart) const {
        return "\n======Log File(REPORT_SIZE = " + std::to_string(ctx.userConfig.LOG_REPORT_SIZE) +
               " bytes)======\n" + logData + "\n======Detect Result File======\n" + resultPart + "\n\n";
    }
    static std::string Lines(int count, const std::string& tag) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "2009/03/05 14:07:09 [UI][MINOR] " + tag + " " + std::to_string(i) + "\n";
        return text;
    }

    RecordingNotifier pane;
    std::string mailbox;
};


TEST_F(ReportWithMailServersTest, LongLogArrivesAsItsLastBytesWithTheDetectResult) {
    std::string log = Lines(200, "log");
    dir.Write("Quillomark.log", log);
    dir.Write("Quillomark.bak", Lines(5, "bak"));
    std::string result = "MAIL 127.0.0.1 25 110 143 plain-1 7\r\nMAIL-SSL 127.0.0.1 465 995 993 ssl-1 -1\r\n";
    dir.Write("detect_result.log", result);
    ASSERT_EQ(Report(), 0) << pane.Pane();

    std::string header, body;
    ASSERT_TRUE(DeliveredMail(&header, &body));
    EXPECT_NE(header.find("\nSubject: [KOVRA] LOG REPORT from user [user@qm.test]\n"), std::string::npos) << header;
    EXPECT_NE(header.find("\nFrom: \"user@qm.test\" <user@qm.test>\n"), std::string::npos) << header;
    EXPECT_NE(header.find("\nTo: support@qm.test\n"), std::string::npos) << header;
    EXPECT_EQ(body, Body(log.substr(log.size() - 2000),
                         "MAIL 127.0.0.1 25 110 143 plain-1 7\nMAIL-SSL 127.0.0.1 465 995 993 ssl-1 -1\n"));
}

TEST_F(ReportWithMailServersTest, ShortLogArrivesWholeAfterTheBackupTail) {
    std::string log = Lines(3, "log");
    std::string bak = Lines(100, "bak");
    dir.Write("Quillomark.log", log);
    dir.Write("Quillomark.bak", bak);
    ASSERT_EQ(Report(true), 0) << pane.Pane();  // over the TLS port this time
    std::string header, body;
    ASSERT_TRUE(DeliveredMail(&header, &body));
    EXPECT_EQ(body, Body(bak.substr(bak.size() - (2000 - log.size())) + log, kResultNote));
}

TEST_F(ReportWithMailServersTest, ShortLogWithoutBackupArrivesAfterTheNotes) {
    std::string log = Lines(3, "log") + std::string(600, 'w') + "\n" + ".\n.dot first\n";
    dir.Write("Quillomark.log", log);
    ASSERT_EQ(Report(), 0) << pane.Pane();
    std::string header, body;
    ASSERT_TRUE(DeliveredMail(&header, &body));
    EXPECT_EQ(body, Body(kBakNote + log, kResultNote));
}

TEST_F(ReportWithMailServersTest, PaneShowsTheDialogueButNeverTheCredentials) {
    dir.Write("Quillomark.log", Lines(3, "log"));
    ASSERT_EQ(Report(), 0);
    std::vector<std::string> lines = pane.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Report log to support@qm.test...\r\n");
    EXPECT_EQ(lines.back(), "Report log success\r\n");
    std::string all = pane.Pane();
    EXPECT_NE(all.find("MAIL > *******MAIL < 334 UGFzc3dvcmQ6\r\n"), std::string::npos) << all;
    EXPECT_NE(all.find("MAIL > *******MAIL < 235 2.7.0 Authentication successful\r\n"), std::string::npos) << all;
    EXPECT_NE(all.find("MAIL > RCPT TO: <support@qm.test>\r\nMAIL < 250 "), std::string::npos) << all;
    EXPECT_NE(all.find("MAIL > QUIT\r\nMAIL < 221 "), std::string::npos) << all;
    EXPECT_NE(all.find("MAIL > (skipping...) \r\nMAIL < 250 "), std::string::npos) << all;
    EXPECT_EQ(all.find("[Connecting"), std::string::npos);
    EXPECT_EQ(all.find("[Connection"), std::string::npos);
    EXPECT_EQ(all.find("2009/03/05 14:07:09"), std::string::npos);  // body lines stay off the pane
    for (const std::string& secret :
         {Servers().Get("PROBE_PASS"), std::string("cHJvYmUtcGFzcw"), std::string("cHJvYmVAcW0udGVzdA")})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret;
}

TEST_F(ReportWithMailServersTest, WrongPasswordFailsAtTheLoginAndNothingArrives) {
    std::strcpy(ctx.userConfig.LOGIN_PASS, "wrong-pass");
    dir.Write("Quillomark.log", Lines(3, "log"));
    EXPECT_EQ(Report(), CodeOf(DetectionResult::SmtpAuthFailed));
    EXPECT_EQ(pane.Lines().back(), "Report log fail\r\n");
    EXPECT_EQ(pane.Pane().find("wrong-pass"), std::string::npos);
}

}  // namespace
