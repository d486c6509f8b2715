#include "context/AppServices.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/WriteLog.h"
#include "support/ContextFixture.h"

namespace {

// Records what StartServices asks for, a detection run with its mode, and
// fails the step the test names.
class FakeStarter : public ServiceStarter {
public:
    std::string failAt;
    std::vector<std::string> started;
    int32_t timerPeriod = 0;

    bool StartListener(AppContext&, const ListenParam& p) override {
        return Record("listen" + std::to_string(p.protocol) + ":" + std::to_string(p.port));
    }
    bool StartAutoDetect(AppContext&, DetectMode mode) override {
        return Record(mode == DetectMode::Background ? "detect" : "detect on demand");
    }
    bool StartDetectTimer(AppContext&, int32_t periodMs) override {
        timerPeriod = periodMs;
        return Record("timer");
    }
    bool StartAutoDownload(AppContext&) override { return Record("download"); }

private:
    bool Record(const std::string& what) {
        if (failAt == what.substr(0, failAt.size()) && !failAt.empty()) return false;
        started.push_back(what);
        return true;
    }
};

class AppServicesTest : public ContextFixture<AppContext> {
protected:
    void SetUp() override {
        ctx.userConfig.PORT_SMTP = 2525;
        ctx.userConfig.PORT_POP3 = 1110;
        ctx.userConfig.PORT_IMAP4 = 1143;
        ctx.userConfig.DETECT_INTERVAL = 14400 * 1000;
        CreateLocks(ctx);
    }

    FakeStarter starter;
};

TEST_F(AppServicesTest, StartsEverythingInOrderWithTheConfiguredValues) {
    StartServices(ctx, starter);
    std::vector<std::string> expected = {"listen0:2525", "listen1:1110", "listen2:1143",
                                         "detect", "timer", "download"};
    EXPECT_EQ(starter.started, expected);
    EXPECT_EQ(starter.timerPeriod, 14400000);
    EXPECT_EQ(ctx.listenParams[POP3].protocol, POP3);
    EXPECT_EQ(ctx.listenParams[POP3].port, 1110);
}

TEST_F(AppServicesTest, AListenerThatCannotStartStopsTheSequence) {
    starter.failAt = "listen1";
    StartServices(ctx, starter);
    EXPECT_EQ(starter.started, std::vector<std::string>{"listen0:2525"});
    EXPECT_NE(Log().find("[PROXY][CRITICAL] ERROR: initial POP3 proxy failed\n"), std::string::npos);
}

TEST_F(AppServicesTest, EachListenerFailureHasItsOwnLine) {
    const char* lines[] = {"ERROR: initial SMTP proxy failed", "ERROR: initial POP3 proxy failed",
                           "ERROR: initial IMAP4 proxy failed"};
    for (int p = 0; p < 3; ++p) {
        FakeStarter s;
        s.failAt = "listen" + std::to_string(p);
        StartServices(ctx, s);
        EXPECT_EQ(s.started.size(), static_cast<size_t>(p));
        EXPECT_NE(Log().find(lines[p]), std::string::npos);
    }
}

TEST_F(AppServicesTest, FirstDetectionThatCannotStartLeavesOutTimerAndDownload) {
    starter.failAt = "detect";
    StartServices(ctx, starter);
    EXPECT_EQ(starter.started.size(), 3u);
    EXPECT_NE(Log().find("[DETECT][CRITICAL] ERROR: initial auto detect failed"), std::string::npos);
}

TEST_F(AppServicesTest, DownloadThatCannotStartIsLoggedAndEverythingElseRuns) {
    starter.failAt = "download";
    StartServices(ctx, starter);
    EXPECT_EQ(starter.started.size(), 5u);
    EXPECT_NE(Log().find("[DOWNLOAD][CRITICAL] ERROR: initial auto download failed"), std::string::npos);
}

TEST_F(AppServicesTest, TimerTickStartsABackgroundRunAndLogsAroundIt) {
    OnDetectTimer(ctx, starter);
    EXPECT_EQ(starter.started, std::vector<std::string>{"detect"});
    std::string log = Log();
    auto tick = log.find("[UI][DUMP] auto detect timer activated");
    auto end = log.find("[UI][DUMP] timer end");
    ASSERT_NE(tick, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(tick, end);

    starter.failAt = "detect";
    OnDetectTimer(ctx, starter);
    EXPECT_NE(Log().find("[DETECT][CRITICAL] ERROR: try to start auto detect failed"), std::string::npos);
}

TEST_F(AppServicesTest, CloseServicesWritesItsLastLineAndNothingAfterIt) {
    CloseServices(ctx);
    WriteLog(ctx, UI, CRITICAL, "after close");
    std::string log = Log();
    EXPECT_NE(log.find("[UI][DUMP] close QuilloMark\n"), std::string::npos);
    EXPECT_EQ(log.find("after close"), std::string::npos);
}

}  // namespace
