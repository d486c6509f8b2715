// The whole connection list update against the real mail servers: the
// download from a local web server, the detection run on the downloaded list
// with real SMTP and POP3 probes, and the replacement of the current list.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "detect/AutoDetectThread.h"
#include "support/ChildProcess.h"
#include "support/ContextFixture.h"
#include "support/HttpTestServer.h"
#include "support/LoopbackPeer.h"
#include "support/MailServerSuite.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"
#include "update/AutoDownloadThread.h"
#include "update/UpdateTestContext.h"

namespace {

const std::string kOldHeader = "2009/05/20 12:30:00";
const std::string kNewHeader = "2009/06/01 08:00:00";

class UpdateWithMailServersTest : public ContextFixture<AppContext, MailServerSuite> {
protected:
    void SetUp() override {
        MailServerSuite::SetUp();
        if (HasFatalFailure()) return;
        PrepareUpdateContext(ctx, dir);
        ctx.mainWindow = &pane;
        UserConfig& c = ctx.userConfig;
        c.DOWNLOAD_RETRY_INTERVAL = 20;
        c.TEST_INTERNET_SERVER.Set("127.0.0.1");
        c.TEST_INTERNET_PORT = web.port();
        c.TEST_INTERNET_RETRY_NUM = 0;
        c.TEST_INTERNET_RETRY_INTERVAL = 1;
        std::strcpy(c.LOGIN_NAME, Servers().Get("PROBE_USER").c_str());
        std::strcpy(c.LOGIN_PASS, Servers().Get("PROBE_PASS").c_str());
        std::strcpy(c.MAIL_FROM, Servers().Get("PROBE_ADDR").c_str());
        std::strcpy(c.RCPT_TO, Servers().Get("PROBE_ADDR").c_str());
    }

    // A list whose candidates are the fixture's plain and TLS ports.
    std::string PassingList(const std::string& header) const {
        return header + "\r\n# the loopback servers\r\nMAIL 127.0.0.1 " + Servers().Get("SMTP_PORT") + " " +
               Servers().Get("POP3_PORT") + " " + Servers().Get("IMAP_PORT") + " plain-1\r\nMAIL-SSL 127.0.0.1 " +
               Servers().Get("SMTPS_PORT") + " " + Servers().Get("POP3S_PORT") + " " + Servers().Get("IMAPS_PORT") +
               " ssl-1\r\n";
    }
    // A list whose candidates fail: the real SMTP port with a POP3 port on
    // which nothing listens, and nothing at all.
    std::string FailingList(const std::string& header) const {
        return header + "\r\nMAIL 127.0.0.1 " + Servers().Get("SMTP_PORT") + " " + std::to_string(FreePort()) +
               " 1 half\r\nMAIL 127.0.0.1 " + std::to_string(FreePort()) + " " + std::to_string(FreePort()) +
               " 1 none\r\n";
    }
    std::string OldList() const { return kOldHeader + "\n" + "MAIL 127.0.0.1 1 1 1 old\n"; }

    void RunUpdate() {
        AutoDownloadOptions options;
        options.port = web.port();
        AutoDownloadThread(ctx, options);
    }
    int PaneCount(const std::string& line) const {
        int n = 0;
        for (const std::string& l : pane.Lines())
            if (l == line) ++n;
        return n;
    }

    RecordingNotifier pane;
    HttpTestServer web;
};


TEST_F(UpdateWithMailServersTest, NewerListWhoseCandidatesPassReplacesTheCurrentList) {
    dir.Write("Quillomark.conf", OldList());
    std::string list = PassingList(kNewHeader);
    web.Serve("/list.conf", list);
    RunUpdate();

    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(list)) << pane.Pane();
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_EQ(CountLogged("[DETECT][MINOR] auto detect start, conf=/NewQuilloMark.conf"), 1);
    EXPECT_EQ(CountLogged("[DOWNLOAD][MAJOR] The config file was updated."), 1);
    // The run on the new list ranked both candidates and published them.
    std::string result = dir.Read("detect_result.log");
    EXPECT_NE(result.find("plain-1"), std::string::npos) << result;
    EXPECT_NE(result.find("ssl-1"), std::string::npos) << result;
    EXPECT_GE(ctx.bestConnection.Get().LinkCost, 0);
    EXPECT_TRUE(pane.Boxes().empty());
}

TEST_F(UpdateWithMailServersTest, MissingCurrentListIsReplacedByAValidDownload) {
    std::string list = PassingList(kNewHeader);
    web.Serve("/list.conf", list);
    RunUpdate();
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(list)) << pane.Pane();
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(UpdateWithMailServersTest, ListWithTheSameHeaderIsNotUsed) {
    dir.Write("Quillomark.conf", OldList());
    web.Serve("/list.conf", PassingList(kOldHeader));
    RunUpdate();
    EXPECT_EQ(dir.Read("Quillomark.conf"), OldList());
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_EQ(PaneCount("auto detect start\r\n"), 0);
    EXPECT_FALSE(dir.Exists("detect_result.log"));
}

TEST_F(UpdateWithMailServersTest, ListWhoseCandidatesAllFailIsRetriedAndDiscarded) {
    dir.Write("Quillomark.conf", OldList());
    web.Serve("/list.conf", FailingList(kNewHeader));
    RunUpdate();
    EXPECT_EQ(PaneCount("auto detect start\r\n"), 6) << pane.Pane();
    EXPECT_EQ(CountLogged("[DETECT][MAJOR] ERROR: auto detect No Available Connection"), 6);
    EXPECT_EQ(CountLogged("[DOWNLOAD][DUMP] wait for auto detect thread fail"), 6);
    EXPECT_EQ(CountLogged("[DOWNLOAD][MAJOR] ERR: detect fail with the new config file."), 1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), OldList());
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_FALSE(dir.Exists("detect_result.log"));
    EXPECT_TRUE(pane.Boxes().empty());  // a run on a downloaded list shows nothing
}

TEST_F(UpdateWithMailServersTest, RunOnTheNewListStartsOnlyAfterTheActiveRunEnded) {
    // The current list's only candidate greets after 1.5 s and then hangs up,
    // which keeps the first run busy while the update compares the lists.
    LoopbackPeer slow([](PeerLink& link) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        link.Send("554 no service\r\n");
    });
    dir.Write("Quillomark.conf", kOldHeader + "\nMAIL 127.0.0.1 " + std::to_string(slow.port()) + " 1 1 slow\n");
    std::string list = PassingList(kNewHeader);
    web.Serve("/list.conf", list);

    std::atomic<DetectionResult> firstResult{DetectionResult::Ok};
    std::thread first([&] { firstResult = AutoDetectThread(ctx, DetectRequest{}); });
    ASSERT_TRUE(WaitUntil(
        [&] { return ctx.detectRunning.Get(); },
        std::chrono::seconds(5)));
    RunUpdate();
    first.join();

    EXPECT_EQ(firstResult.load(), DetectionResult::NoAvailableConnection);
    std::vector<std::string> log = LogMessages();
    auto at = [&](const std::string& line) {
        return std::find(log.begin(), log.end(), line) - log.begin();
    };
    std::ptrdiff_t firstEnd = at("[DETECT][MINOR] auto detect end");
    std::ptrdiff_t waited = at("[DOWNLOAD][DUMP] Waiting for detecting the new config file.");
    std::ptrdiff_t second = at("[DETECT][MINOR] auto detect start, conf=/NewQuilloMark.conf");
    ASSERT_LT(second, static_cast<std::ptrdiff_t>(log.size())) << dir.Read("Quillomark.log");
    EXPECT_LT(firstEnd, waited);
    EXPECT_LT(waited, second);
    EXPECT_EQ(CountLogged("[DETECT][DUMP] auto detect end since already a thread detecting"), 0);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(list));
}

}  // namespace
