#include "detect/AutoDetectThread.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "catalogue/DetectHistory.h"
#include "catalogue/DetectResult.h"
#include "detect/FakeMailDialogues.h"
#include "support/ContextFixture.h"
#include "support/HttpTestServer.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"

namespace {

using Clock = std::chrono::steady_clock;

// One mail server candidate made of a fake SMTP and a fake POP3 peer.
struct FakeCandidate {
    FakeCandidate(bool tls, const Pop3Script& pop3)
        : tls(tls), smtpPeer(SmtpDialogue(SmtpScript{}, smtpSeen), tls),
          pop3Peer(Pop3Dialogue(pop3, pop3Seen), tls) {}
    // Its line in a connection list.
    std::string Line(const char* code) const {
        return std::string(tls ? "MAIL-SSL" : "MAIL") + " 127.0.0.1 " +
               std::to_string(smtpPeer.port()) + " " + std::to_string(pop3Peer.port()) + " 143 " +
               code + "\n";
    }

    bool tls;
    SmtpRecord smtpSeen;
    Pop3Record pop3Seen;
    LoopbackPeer smtpPeer;
    LoopbackPeer pop3Peer;
};

class AutoDetectThreadTest : public ContextFixture<AppContext> {
protected:
    AutoDetectThreadTest() {
        setenv("no_proxy", "*", 1);
        ctx.mainWindow = &pane;
        UserConfig& config = ctx.userConfig;
        config.TEST_INTERNET_RETRY_NUM = 3;
        config.TEST_INTERNET_RETRY_INTERVAL = 50;
        SetTestAccount(config);
        Internet(web.port());
    }

    void Internet(int port) {
        ctx.userConfig.TEST_INTERNET_SERVER.Set("127.0.0.1");
        ctx.userConfig.TEST_INTERNET_PORT = port;
    }
    // The requests of the two kinds of run; a run on the downloaded list is
    // always a background one.
    static DetectRequest Background() { return DetectRequest{DetectMode::Background}; }
    static DetectRequest OnDemand() { return DetectRequest{DetectMode::OnDemand}; }
    static DetectRequest DownloadedList() {
        return DetectRequest{DetectMode::Background, "/NewQuilloMark.conf"};
    }
    std::unique_ptr<FakeCandidate> Candidate(bool tls, Pop3Script pop3 = {}) {
        return std::make_unique<FakeCandidate>(tls, pop3);
    }
    void WriteList(const std::string& lines, const char* name = "Quillomark.conf") {
        dir.Write(name, "2009/03/05 14:07:09\n" + lines);
    }
    ProtocalInfoList ReadResult() {
        ProtocalInfoList list;
        int32_t stamp = 0;
        EXPECT_EQ(ReadDetectResult(ctx, stamp, list, false), CatalogueResult::Ok);
        return list;
    }
    // The event was set exactly once since the last call.
    bool SignalledOnce() {
        return ctx.eventDetectComplete.WaitFor(0ms) && !ctx.eventDetectComplete.WaitFor(0ms);
    }

    RecordingNotifier pane;
    HttpTestServer web{200};
};

TEST_F(AutoDetectThreadTest, RanksMeasuredCandidatesFirstAndPublishesTheBest) {
    auto plain = Candidate(false);
    auto secure = Candidate(true);
    WriteList("# candidates\n" + plain->Line("plain-1") +
              "MAIL 127.0.0.1 " + std::to_string(FreePort()) + " 110 143 closed-1\n" +
              "MAIL mail.qm.invalid 25 110 143 named-1\n" + secure->Line("ssl-1"));

    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::Ok);

    ProtocalInfoList result = ReadResult();
    ASSERT_EQ(result.Count(), 4);
    auto it = result.begin();
    const ProtocalInfo& first = *it++;
    const ProtocalInfo& second = *it++;
    EXPECT_TRUE(std::string(first.Code) == "plain-1" || std::string(first.Code) == "ssl-1");
    EXPECT_GE(first.LinkCost, 0);
    EXPECT_GE(second.LinkCost, first.LinkCost);
    EXPECT_STREQ((*it).Code, "closed-1");  // failed ones keep their list order
    EXPECT_EQ((*it++).LinkCost, -1);
    EXPECT_STREQ((*it).Code, "named-1");
    EXPECT_EQ((*it).LinkCost, -1);
    EXPECT_STREQ(ctx.bestConnection.Get().Code, first.Code);
    EXPECT_EQ(ctx.bestConnection.Get().LinkCost, first.LinkCost);
    EXPECT_EQ(plain->smtpSeen.sessions, 1);
    EXPECT_EQ(secure->smtpSeen.sessions, 1);
    EXPECT_TRUE(secure->pop3Seen.Received("RETR 1\r\n"));

    std::vector<std::string> lines = pane.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "auto detect start\r\n");
    EXPECT_EQ(lines[1], "auto detect Internet is Connectable\r\n");
    EXPECT_EQ(lines.back(), "auto detect end\r\n");
    EXPECT_EQ(pane.Started(), 1);
    EXPECT_EQ(pane.Finished(), 1);
    EXPECT_TRUE(pane.Boxes().empty());
    EXPECT_TRUE(SignalledOnce());
    EXPECT_FALSE(ctx.detectRunning.Get());
    std::string log = Log();
    EXPECT_NE(log.find("[DETECT][MINOR] auto detect start, conf=/Quillomark.conf"), std::string::npos);
    EXPECT_NE(log.find("[DETECT][DUMP] auto detect internet is connectable"), std::string::npos);
    EXPECT_NE(log.find("[DETECT][DUMP] auto detect mail server end"), std::string::npos);
    EXPECT_NE(log.find("[DETECT][MINOR] auto detect end"), std::string::npos);
}

TEST_F(AutoDetectThreadTest, CostIsSmtpSendingPlusPop3ReceivingAndPop3FailureCostsMinusOne) {
    Pop3Script empty;
    empty.count = 0;
    auto failing = Candidate(false, empty);
    auto good = Candidate(false);
    WriteList(failing->Line("empty-1") + good->Line("good-1"));
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::Ok);
    ProtocalInfoList result = ReadResult();
    ASSERT_EQ(result.Count(), 2);
    EXPECT_STREQ(result.First()->Code, "good-1");
    EXPECT_GE(result.First()->LinkCost, 2);  // at least the two connect steps
    EXPECT_EQ((*++result.begin()).LinkCost, -1);
    EXPECT_EQ(failing->smtpSeen.sessions, 1);  // the SMTP probe passed before POP3 failed
}

TEST_F(AutoDetectThreadTest, NoPassingCandidateKeepsThePreviousRanking) {
    auto good = Candidate(false);
    WriteList(good->Line("good-1"));
    ASSERT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::Ok);
    std::string before = dir.Read("detect_result.log");
    ASSERT_TRUE(SignalledOnce());

    WriteList("MAIL 127.0.0.1 " + std::to_string(FreePort()) + " 110 143 closed-1\n");
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::NoAvailableConnection);
    EXPECT_EQ(dir.Read("detect_result.log"), before);
    EXPECT_STREQ(ctx.bestConnection.Get().Code, "good-1");
    auto boxes = pane.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].second, "MSG_NO_AVAIL_SERVER");
    EXPECT_NE(Log().find("[DETECT][MAJOR] ERROR: auto detect No Available Connection"),
              std::string::npos);
    EXPECT_TRUE(SignalledOnce());

    // A downloaded list that fails says nothing to the user.
    WriteList("", "NewQuilloMark.conf");
    EXPECT_EQ(AutoDetectThread(ctx, DownloadedList()), DetectionResult::NoAvailableConnection);
    EXPECT_EQ(pane.Boxes().size(), 1u);
    EXPECT_NE(Log().find("auto detect start, conf=/NewQuilloMark.conf"), std::string::npos);
}

TEST_F(AutoDetectThreadTest, DownloadedListIsProbedAndWrittenAsTheResult) {
    auto good = Candidate(true);
    WriteList(good->Line("new-1"), "NewQuilloMark.conf");
    EXPECT_EQ(AutoDetectThread(ctx, DownloadedList()), DetectionResult::Ok);
    EXPECT_STREQ(ReadResult().First()->Code, "new-1");
}

TEST_F(AutoDetectThreadTest, HistoryKeepsEveryRunOnTheListInUseButNotAProofRun) {
    auto good = Candidate(false);
    std::string closed = "MAIL 127.0.0.1 " + std::to_string(FreePort()) + " 110 143 closed-1\n";
    WriteList(closed + good->Line("good-1"));
    ASSERT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::Ok);
    WriteList(closed);
    ASSERT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::NoAvailableConnection);
    WriteList(good->Line("new-1"), "NewQuilloMark.conf");
    ASSERT_EQ(AutoDetectThread(ctx, DownloadedList()), DetectionResult::Ok);

    std::vector<HistoryRecord> history;
    ASSERT_EQ(ReadDetectHistory(ctx, history), CatalogueResult::Ok);
    ASSERT_EQ(history.size(), 3u);  // in probe order; the failed run is kept too
    EXPECT_EQ(history[0].Code, "closed-1");
    EXPECT_EQ(history[0].LinkCost, -1);
    EXPECT_EQ(history[1].Code, "good-1");
    EXPECT_GE(history[1].LinkCost, 0);
    EXPECT_EQ(history[1].time, history[0].time);
    EXPECT_EQ(history[2].Code, "closed-1");
    EXPECT_GT(history[2].time, history[1].time);
}

TEST_F(AutoDetectThreadTest, ReportsEachCandidateInProbeOrderAsItsCostIsKnown) {
    auto good = Candidate(false);
    std::string closed = "MAIL 127.0.0.1 " + std::to_string(FreePort()) + " 110 143 closed-1\n";
    WriteList(closed + good->Line("good-1"));
    ASSERT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::Ok);

    std::vector<DetectProgress> reports = pane.Progress();
    ASSERT_EQ(reports.size(), 4u);
    const char* codes[] = {"closed-1", "closed-1", "good-1", "good-1"};
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].Code, codes[i]);
        EXPECT_EQ(reports[i].index, static_cast<int>(i / 2));
        EXPECT_EQ(reports[i].count, 2);
        EXPECT_EQ(reports[i].finished, i % 2 == 1);
    }
    EXPECT_EQ(reports[0].LinkCost, 0);
    EXPECT_EQ(reports[1].LinkCost, -1);
    EXPECT_EQ(reports[3].LinkCost, ReadResult().First()->LinkCost);
    EXPECT_EQ(reports[3].Port[SMTP], good->smtpPeer.port());
    EXPECT_EQ(reports[3].Dest, "127.0.0.1");
}

TEST_F(AutoDetectThreadTest, UnreadableListEndsTheRunWithABox) {
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::ListUnreadable);
    EXPECT_NE(Log().find("[DETECT][MAJOR] ERROR: read connection config file failed(-22)"),
              std::string::npos);
    WriteList("MAILX 127.0.0.1 25 110 143 bad-1\n");
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::ListUnreadable);
    EXPECT_NE(Log().find("ERROR: read connection config file failed(-21)"), std::string::npos);
    auto boxes = pane.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], std::make_pair(std::string(), std::string("MSG_READ_CONFIG_FAIL")));
    EXPECT_FALSE(dir.Exists("detect_result.log"));
}

TEST_F(AutoDetectThreadTest, UnwritableResultLogStillSetsTheBestConnection) {
    auto good = Candidate(false);
    WriteList(good->Line("good-1"));
    std::filesystem::create_directories(dir.File("detect_result.log/blocked"));
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::WriteResultFailed);
    EXPECT_STREQ(ctx.bestConnection.Get().Code, "good-1");
    auto boxes = pane.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].second, "MSG_WRITE_RESULT_LOG_FAIL");
    EXPECT_NE(Log().find("ERROR: auto detect write result log failed(-17)"), std::string::npos);
    EXPECT_TRUE(SignalledOnce());
}

TEST_F(AutoDetectThreadTest, OnDemandRunReportsUnreachableInternetAtOnce) {
    HttpTestServer missing(404);
    Internet(missing.port());
    auto start = Clock::now();
    EXPECT_EQ(AutoDetectThread(ctx, OnDemand()), DetectionResult::InternetUnreachable);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
    EXPECT_EQ(missing.Requests().size(), 1u);
    auto boxes = pane.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].second, "MSG_INTERNET_NOT_CONNECTABLE");
    EXPECT_NE(Log().find("[DETECT][MAJOR] ERROR: auto detect internet is not connectable\r\n"),
              std::string::npos);
    std::vector<std::string> expected = {"auto detect start\r\n", "auto detect end\r\n"};
    EXPECT_EQ(pane.Lines(), expected);
    EXPECT_TRUE(SignalledOnce());
}

TEST_F(AutoDetectThreadTest, BackgroundRunRetriesQuietlyWithNumberedLines) {
    HttpTestServer missing(404);
    Internet(missing.port());
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::InternetUnreachable);
    EXPECT_EQ(missing.Requests().size(), 4u);
    std::vector<std::string> expected = {
        "auto detect start\r\n",
        "internet is not connectable, wait and retry num=1\r\n",
        "internet is not connectable, wait and retry num=2\r\n",
        "internet is not connectable, wait and retry num=3\r\n",
        "auto detect end\r\n",
    };
    EXPECT_EQ(pane.Lines(), expected);
    EXPECT_TRUE(pane.Boxes().empty());
    std::string log = Log();
    EXPECT_NE(log.find("[DETECT][MINOR] ERROR: auto detect wait and retry num=3"), std::string::npos);
    EXPECT_NE(log.find("[DETECT][MINOR] ERROR: auto detect wait and retry end with internet not "
                       "connectable"),
              std::string::npos);
    EXPECT_TRUE(SignalledOnce());

    ctx.userConfig.TEST_INTERNET_RETRY_NUM = 0;
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::InternetUnreachable);
    EXPECT_EQ(missing.Requests().size(), 5u);
}

TEST_F(AutoDetectThreadTest, UserRequestDuringRetryPauseEndsTheWaitAtTheNextFailure) {
    HttpTestServer missing(404);
    Internet(missing.port());
    ctx.userConfig.TEST_INTERNET_RETRY_NUM = 50;
    ctx.userConfig.TEST_INTERNET_RETRY_INTERVAL = 1000;
    std::optional<DetectionResult> result;
    std::thread run([&] { result = AutoDetectThread(ctx, Background()); });
    // The request must come inside the pause after the first failure, not
    // before it: a loaded machine can take longer than any fixed sleep to
    // send the first check.
    for (int i = 0; i < 1000 && missing.Requests().empty(); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(missing.Requests().size(), 1u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(AutoDetectThread(ctx, OnDemand()), DetectionResult::AlreadyRunning);  // the re-detect's own run
    run.join();
    EXPECT_EQ(result, DetectionResult::InternetUnreachable);
    EXPECT_EQ(missing.Requests().size(), 2u);
    ASSERT_EQ(pane.Boxes().size(), 1u);
    EXPECT_EQ(pane.Boxes()[0].second, "MSG_INTERNET_NOT_CONNECTABLE");
    EXPECT_TRUE(SignalledOnce());
}

TEST_F(AutoDetectThreadTest, SecondRunDuringAFirstEndsWithMinusFifteenAndChangesNothing) {
    // The first run's SMTP peer holds its greeting back long enough.
    SmtpScript slow;
    SmtpRecord seen;
    auto plain = SmtpDialogue(slow, seen);
    LoopbackPeer smtp([plain](PeerLink& link) {
        std::this_thread::sleep_for(500ms);
        plain(link);
    });
    Pop3Record popSeen;
    LoopbackPeer pop3(Pop3Dialogue(Pop3Script{}, popSeen));
    WriteList("MAIL 127.0.0.1 " + std::to_string(smtp.port()) + " " + std::to_string(pop3.port()) +
              " 143 slow-1\n");

    std::optional<DetectionResult> first;
    std::thread run([&] { first = AutoDetectThread(ctx, Background()); });
    ASSERT_TRUE([&] {
        for (int i = 0; i < 200 && smtp.accepted() == 0; ++i) std::this_thread::sleep_for(5ms);
        return smtp.accepted() == 1;
    }());
    std::size_t linesBefore = pane.Lines().size();
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::AlreadyRunning);
    EXPECT_EQ(pane.Started(), 1);
    EXPECT_GE(pane.Lines().size(), linesBefore);
    run.join();
    EXPECT_EQ(first, DetectionResult::Ok);
    EXPECT_EQ(pane.Started(), 1);
    EXPECT_EQ(pane.Finished(), 1);
    EXPECT_TRUE(SignalledOnce());  // one signal: the second run passed no guard
    EXPECT_NE(Log().find("[DETECT][DUMP] auto detect end since already a thread detecting"),
              std::string::npos);
}

TEST_F(AutoDetectThreadTest, GuardedRunLeavesNoTrace) {
    ASSERT_TRUE(ctx.detectRunning.TryEnter(DetectMode::Background));
    EXPECT_EQ(AutoDetectThread(ctx, Background()), DetectionResult::AlreadyRunning);
    EXPECT_TRUE(pane.Lines().empty());
    EXPECT_EQ(pane.Started(), 0);
    EXPECT_EQ(pane.Finished(), 0);
    EXPECT_FALSE(ctx.eventDetectComplete.WaitFor(0ms));
    EXPECT_TRUE(ctx.detectRunning.Get());
}

}  // namespace
