// A detection run against the real mail servers of the fixture, watched in
// the main window (offscreen): each candidate's row is marked while it is
// probed and shows its new cost as soon as its probes end, in probe order,
// while the run is still going.
#include <QApplication>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "context/AppContext.h"
#include "core/MailCodeKeys.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "detect/AutoDetectThread.h"
#include "integration/DetectRealServers.h"
#include "support/ContextFixture.h"
#include "support/OutcomeText.h"
#include "ui/ProgressRows.h"
#include "ui/QuilloMarkDlg.h"
#include "ui/WindowFixture.h"
#include "ui/WindowNotifier.h"

namespace {

using namespace detect_real;

class DetectWindowProgressTest : public ContextFixture<AppContext> {
protected:
    static void SetUpTestSuite() {
        setenv("no_proxy", "*", 1);
        servers_ = new MailServers;
        ready_ = servers_->Start(&why_);
        if (!ready_) return;
        web_ = new WebHost;
        ready_ = web_->Start(servers_->dir() + "/www", true);
    }
    static void TearDownTestSuite() {
        delete web_;
        web_ = nullptr;
        servers_->Stop();
        delete servers_;
        servers_ = nullptr;
    }

    void SetUp() override {
        TestApplication();
        ASSERT_TRUE(ready_) << why_;
        LoadMessageFile(ctx, dir.File("message_EN.txt"));
        BuildMailCodeKeys(ctx.mailCodeKeys);
        dir.Write("Quillomark.ini", SettingsFile(*servers_, web_->port(), servers_->Get("PROBE_PASS")));
        ASSERT_EQ(LoadUserConfig(ctx), CoreResult::Ok);
        CheckUserConfig(ctx);
        std::string maildir = servers_->Get("MAILDIR_PROBE");
        ClearMaildir(maildir);
        ASSERT_TRUE(SeedMaildir(maildir, servers_->Get("PROBE_ADDR"), 1));
    }

    static MailServers* servers_;
    static WebHost* web_;
    static bool ready_;
    static std::string why_;

    RecordingStarter starter;
};

MailServers* DetectWindowProgressTest::servers_ = nullptr;
WebHost* DetectWindowProgressTest::web_ = nullptr;
bool DetectWindowProgressTest::ready_ = false;
std::string DetectWindowProgressTest::why_;

TEST_F(DetectWindowProgressTest, RowsShowEachCostInProbeOrderWhileTheRunGoesOn) {
    std::string dead = "MAIL 127.0.0.1 " + std::to_string(FreePort()) + " " +
                       std::to_string(FreePort()) + " 143 dead-1\n";
    dir.Write("Quillomark.conf", "2009/03/05 14:07:09\n" + dead + PlainLine(*servers_, "plain-1") +
                                     TlsLine(*servers_, "ssl-1"));

    QuilloMarkDlg window(ctx, starter);
    window.SetUpWindow();
    window.SetUpTrayAndControls();
    window.RefreshConnectionList();
    WindowNotifier notifier(ctx, window);
    ctx.mainWindow = &notifier;

    // What the Speed cell of a row shows, each time it changes.
    std::vector<std::string> seen;
    std::atomic<bool> done{false};
    int seenDuringRun = 0;
    QTableWidget& list = window.ConnectionList();
    QObject::connect(&list, &QTableWidget::itemChanged, [&](QTableWidgetItem* item) {
        if (item->column() != kSpeedColumn || list.item(item->row(), kRemarkColumn) == nullptr)
            return;
        std::string state = list.item(item->row(), kRemarkColumn)->text().toStdString() + ":" +
                            (IsMarkedAsProbing(list, item->row()) ? "probing"
                                                                  : item->text().toStdString());
        if (!seen.empty() && seen.back() == state) return;
        seen.push_back(state);
        // Send log is disabled from the run's start to its end, as the window sees them.
        seenDuringRun += window.ReportButton().isEnabled() ? 0 : 1;
    });

    std::optional<DetectionResult> result;
    std::thread run([&] {
        result = AutoDetectThread(ctx, DetectRequest{});
        done = true;
    });
    bool detectingSeen = false;
    while (!done) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        detectingSeen = detectingSeen || window.CurrentTrayStatus() == TrayStatus::Detecting;
    }
    run.join();
    QApplication::processEvents();
    ASSERT_EQ(result, DetectionResult::Ok) << ReadLog(dir);
    EXPECT_TRUE(detectingSeen);
    EXPECT_EQ(window.CurrentTrayStatus(), TrayStatus::Connected);

    ProtocalInfoList ranked;
    int32_t stamp = 0;
    ASSERT_EQ(ReadDetectResult(ctx, stamp, ranked, false), CatalogueResult::Ok);
    std::string plainCost, sslCost;
    for (const ProtocalInfo& r : ranked) {
        if (std::string(r.Code) == "plain-1") plainCost = std::to_string(r.LinkCost);
        if (std::string(r.Code) == "ssl-1") sslCost = std::to_string(r.LinkCost);
    }
    std::vector<std::string> expected = {"dead-1:probing",  "dead-1:FAILD",
                                         "plain-1:probing", "plain-1:" + plainCost,
                                         "ssl-1:probing",   "ssl-1:" + sslCost};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(seenDuringRun, 6);  // none waited for the end of the run
    EXPECT_TRUE(window.ReportButton().isEnabled());
    // The run's end rebuilt the rows in ranked order, without marks.
    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.item(2, kRemarkColumn)->text().toStdString(), "dead-1");
    for (int row = 0; row < 3; ++row) EXPECT_FALSE(IsMarkedAsProbing(list, row));
}

}  // namespace
