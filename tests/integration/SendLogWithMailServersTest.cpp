// Send log as the user meets it: the report dialog answered from a timer,
// then the log report mailed to the real support mailbox over the
// connection in use, or nothing at all when the dialog is cancelled.
#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "support/ChildProcess.h"
#include "support/ContextFixture.h"
#include "support/MailServers.h"
#include "support/ModalAnswer.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"
#include "support/TempDir.h"
#include "ui/DialogCommands.h"
#include "ui/ReportDlg.h"

namespace {

class SendLogWithMailServersTest : public ContextFixture<AppContext> {
protected:
    static void SetUpTestSuite() {
        EnsureApplication();
        servers_ = new MailServers;
        started_ = servers_->Start(&why_);
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(started_) << why_;
        // The first load writes the message file, the second reads it, so no
        // lookup falls back to the defaults and logs that.
        LoadMessageFile(ctx, dir.File("message_EN.txt"));
        LoadMessageFile(ctx, dir.File("message_EN.txt"));
        dir.Write("Quillomark.ini", "LOG_REPORT_SIZE=2\nUSER_MAIL=\"\"\n");
        ASSERT_EQ(LoadUserConfig(ctx), CoreResult::Ok);
        LogInto(ctx, dir);
        ctx.mainWindow = &pane;
        UserConfig& c = ctx.userConfig;
        std::strcpy(c.LOGIN_NAME, servers_->Get("PROBE_USER").c_str());
        std::strcpy(c.LOGIN_PASS, servers_->Get("PROBE_PASS").c_str());
        std::strcpy(c.MAIL_FROM, servers_->Get("PROBE_ADDR").c_str());
        std::strcpy(c.LOG_RCPT_TO, servers_->Get("SUPPORT_ADDR").c_str());
        ProtocalInfo connection;
        connection.Type = MAIL;
        connection.SetDest("127.0.0.1");
        connection.Port[SMTP] = servers_->Port("SMTP_PORT");
        ctx.bestConnection.Set(connection);
        mailbox = servers_->Get("MAILDIR_SUPPORT");
        ClearMaildir(mailbox);
        logStart = ReadLog(dir).size();  // only the command's own lines count
    }

    // The texts of the UI lines the command logged, in order.
    std::vector<std::string> UiLogLines() const {
        std::vector<std::string> texts;
        std::istringstream log(ReadLog(dir).substr(logStart));
        for (std::string line; std::getline(log, line);) {
            std::size_t tag = line.find(" [UI][");
            if (tag == std::string::npos) continue;
            texts.push_back(line.substr(line.find("] ", tag) + 2));
        }
        return texts;
    }

    static MailServers* servers_;
    static bool started_;
    static std::string why_;

    RecordingNotifier pane;
    std::string mailbox;
    std::size_t logStart = 0;
};

MailServers* SendLogWithMailServersTest::servers_ = nullptr;
bool SendLogWithMailServersTest::started_ = false;
std::string SendLogWithMailServersTest::why_;

TEST_F(SendLogWithMailServersTest, SubmittedAddressSendsTheReportToSupport) {
    WhenShown<ReportDlg>([](ReportDlg* d) {
        d->findChild<QLineEdit*>("addressField")->setText("user@qm.test");
        d->findChild<QPushButton*>("submitButton")->click();
    });
    SendLogCommand(ctx, nullptr);

    EXPECT_EQ(pane.Lines().back(), "Report log success\r\n") << pane.Pane();
    EXPECT_TRUE(WaitUntil([&] { return CountMessages(mailbox) == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), "user@qm.test");
    EXPECT_NE(dir.Read("Quillomark.ini").find("USER_MAIL=\"user@qm.test\"\n"), std::string::npos);
    std::vector<std::string> ui = UiLogLines();
    ASSERT_GE(ui.size(), 2u);
    EXPECT_EQ(ui.front(), "Press Report botton");
    EXPECT_EQ(ui[ui.size() - 2], "User report log by enter user@qm.test");
    EXPECT_EQ(ui.back(), "end of report botton");
}

TEST_F(SendLogWithMailServersTest, CancelledSendsNothingAndLogsOnlyTheTracingLines) {
    WhenShown<ReportDlg>([](ReportDlg* d) {
        d->findChild<QLineEdit*>("addressField")->setText("user@qm.test");
        d->findChild<QPushButton*>("cancelButton")->click();
    });
    SendLogCommand(ctx, nullptr);

    EXPECT_TRUE(pane.Lines().empty()) << pane.Pane();
    EXPECT_EQ(UiLogLines(), (std::vector<std::string>{"Press Report botton", "end of report botton"}));
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), "");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(CountMessages(mailbox), 0);
}

}  // namespace
