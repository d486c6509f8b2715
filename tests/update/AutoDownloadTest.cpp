#include "update/AutoDownload.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/HttpTestServer.h"
#include "support/RecordingNotifier.h"
#include "update/AutoDownloadThread.h"
#include "update/UpdateTestContext.h"

namespace {

const std::string kOldList = "2009/05/20 12:30:00\nMAIL 10.0.0.9 25 110 143 old\n";
const std::string kNewList =
    "2009/06/01 08:00:00\r\n# newer\r\nMAIL 10.0.0.1 25 110 143 plain-1\r\nMAIL-SSL 10.0.0.2 465 995 993 ssl-1\r\n";

// Stands in for the detection run: answers with the next of its codes (the
// last one repeats), and, as the real run does, refuses to work while
// another run is active and signals the event when it did work.
class FakeDetection {
public:
    explicit FakeDetection(std::vector<DetectionResult> codes) : codes_(std::move(codes)) {}

    AutoDownloadOptions Options(int port) {
        AutoDownloadOptions options;
        options.port = port;
        options.runDetection = [this](AppContext& ctx, const DetectRequest& request) { return Run(ctx, request); };
        return options;
    }
    int calls() const { return calls_.load(); }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> hold(mutex_);
        return names_;
    }
    std::vector<std::string> sawNewList() {
        std::lock_guard<std::mutex> hold(mutex_);
        return sawNewList_;
    }
    std::vector<DetectMode> modes() {
        std::lock_guard<std::mutex> hold(mutex_);
        return modes_;
    }

private:
    DetectionResult Run(AppContext& ctx, const DetectRequest& request) {
        if (ctx.detectRunning.Get()) return DetectionResult::AlreadyRunning;
        int n = calls_++;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            names_.push_back(request.listPath);
            modes_.push_back(request.mode);
            std::ifstream in(DataFilePath(ctx, request.listPath), std::ios::binary);
            sawNewList_.push_back(std::string(std::istreambuf_iterator<char>(in), {}));
        }
        ctx.eventDetectComplete.Set();
        return codes_[static_cast<std::size_t>(n) < codes_.size() ? n : codes_.size() - 1];
    }

    std::vector<DetectionResult> codes_;
    std::atomic<int> calls_{0};
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<std::string> sawNewList_;
    std::vector<DetectMode> modes_;
};

class AutoDownloadTest : public UpdateTest {
protected:
    void SetUp() override { ctx.mainWindow = &window; }

    void RunUpdate(FakeDetection& detection) { AutoDownloadThread(ctx, detection.Options(server.port())); }

    RecordingNotifier window;
    HttpTestServer server;
};

TEST_F(AutoDownloadTest, NewerListProvenByDetectionReplacesTheCurrentOne) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    FakeDetection detection({DetectionResult::Ok});
    RunUpdate(detection);

    EXPECT_EQ(detection.names(), std::vector<std::string>{"/NewQuilloMark.conf"});
    EXPECT_EQ(detection.sawNewList(), std::vector<std::string>{WithoutCr(kNewList)});
    EXPECT_EQ(detection.modes(), std::vector<DetectMode>{DetectMode::Background});
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.conf."));
    EXPECT_EQ(DownloadLog(), (std::vector<std::string>{
                                 "[DOWNLOAD][DUMP] Detecting the new config file directly.",
                                 "[DOWNLOAD][DUMP] start to detect",
                                 "[DOWNLOAD][DUMP] wait for auto detect thread success",
                                 "[DOWNLOAD][MAJOR] The config file was updated.",
                             }));
    EXPECT_EQ(window.ListsInstalled(), 1);
}

TEST_F(AutoDownloadTest, ListThatIsNotNewerIsDiscarded) {
    const std::string sameHeader = "2009/05/20 12:30:00\r\nMAIL 10.0.0.1 25 110 143 other\r\n";
    const std::string older = "2009/05/20 12:29:59\r\nMAIL 10.0.0.1 25 110 143 other\r\n";
    for (const std::string& body : {sameHeader, older}) {
        dir.Write("Quillomark.conf", kOldList);
        server.Serve("/list.conf", body);
        FakeDetection detection({DetectionResult::Ok});
        RunUpdate(detection);
        EXPECT_EQ(detection.calls(), 0);
        EXPECT_EQ(dir.Read("Quillomark.conf"), kOldList);
        EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    }
    EXPECT_TRUE(DownloadLog().empty());
}

TEST_F(AutoDownloadTest, MissingCurrentListIsReplacedByAValidDownload) {
    server.Serve("/list.conf", kNewList);
    FakeDetection detection({DetectionResult::Ok});
    RunUpdate(detection);
    EXPECT_EQ(detection.calls(), 1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
}

TEST_F(AutoDownloadTest, HeaderOutOfRangeReplacesOnlyAMissingList) {
    const std::string noTime = "2040/01/01 00:00:00\r\nMAIL 10.0.0.1 25 110 143 a\r\n";
    server.Serve("/list.conf", noTime);
    dir.Write("Quillomark.conf", "no header\nMAIL 10.0.0.9 25 110 143 old\n");
    FakeDetection unused({DetectionResult::Ok});
    RunUpdate(unused);
    EXPECT_EQ(unused.calls(), 0);  // -1 is not later than -1
    std::filesystem::remove(dir.File("Quillomark.conf"));
    FakeDetection detection({DetectionResult::Ok});
    RunUpdate(detection);
    EXPECT_EQ(detection.calls(), 1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(noTime));
}

TEST_F(AutoDownloadTest, SecondDownloadAfterOneIntervalIsUsedAsIfItWereTheFirst) {
    ctx.userConfig.DOWNLOAD_RETRY_INTERVAL = 150;
    server.SetHandler([](const std::string&, int index) {
        return index == 0 ? HttpTestResponse{503, "", ""} : HttpTestResponse{200, kNewList, ""};
    });
    dir.Write("Quillomark.conf", kOldList);
    FakeDetection detection({DetectionResult::Ok});
    auto start = std::chrono::steady_clock::now();
    RunUpdate(detection);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(server.CountFor("/list.conf"), 2);
    EXPECT_EQ(CountLogged("[DOWNLOAD][MINOR] download config file failed"), 1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
}

TEST_F(AutoDownloadTest, SixFailedDownloadsEndTheThread) {
    server.Serve("/elsewhere.conf", kNewList);
    dir.Write("NewQuilloMark.conf", "left by an earlier run");
    dir.Write("Quillomark.conf", kOldList);
    FakeDetection detection({DetectionResult::Ok});
    RunUpdate(detection);
    EXPECT_EQ(server.CountFor("/list.conf"), 6);
    EXPECT_EQ(detection.calls(), 0);
    const std::string status = "[DOWNLOAD][MINOR] ERROR: download status not ok(404)";
    EXPECT_EQ(DownloadLog(), (std::vector<std::string>{
                                 status, "[DOWNLOAD][MINOR] download config file failed", status, status,
                                 status, status, status, "[DOWNLOAD][MAJOR] ERR: downlaod new config file fail.",
                                 "[DOWNLOAD][MINOR] download config file failed"}));
    EXPECT_EQ(dir.Read("NewQuilloMark.conf"), "left by an earlier run");
    EXPECT_EQ(dir.Read("Quillomark.conf"), kOldList);
}

TEST_F(AutoDownloadTest, DetectionThatFailsIsRetriedFiveTimesThenTheListIsDiscarded) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    FakeDetection detection({DetectionResult::NoAvailableConnection});
    RunUpdate(detection);
    EXPECT_EQ(detection.calls(), 6);
    EXPECT_EQ(CountLogged("[DOWNLOAD][DUMP] wait for auto detect thread fail"), 6);
    EXPECT_EQ(DownloadLog().back(), "[DOWNLOAD][MAJOR] ERR: detect fail with the new config file.");
    EXPECT_EQ(dir.Read("Quillomark.conf"), kOldList);
    EXPECT_EQ(window.ListsInstalled(), 0);
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(AutoDownloadTest, DetectionThatSucceedsOnARetryReplaces) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    FakeDetection detection(
        {DetectionResult::InternetUnreachable, DetectionResult::InternetUnreachable, DetectionResult::Ok});
    RunUpdate(detection);
    EXPECT_EQ(detection.calls(), 3);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(AutoDownloadTest, RunningDetectionIsWaitedForBeforeTheNewListIsTried) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    ASSERT_TRUE(ctx.detectRunning.TryEnter(DetectMode::Background));
    FakeDetection detection({DetectionResult::Ok});
    std::thread update([&] { RunUpdate(detection); });
    ASSERT_TRUE(WaitUntil([&] { return server.CountFor("/list.conf") == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(detection.calls(), 0);
    EXPECT_EQ(CountLogged("[DOWNLOAD][DUMP] start to detect"), 0);

    // The running detection ends the way a real run does.
    ctx.detectRunning.Leave();
    ctx.eventDetectComplete.Set();
    update.join();
    EXPECT_EQ(detection.calls(), 1);
    EXPECT_EQ(DownloadLog().front(), "[DOWNLOAD][DUMP] Waiting for detecting the new config file.");
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
}

TEST_F(AutoDownloadTest, StaleEventWithARunStillActiveCountsAsAFailedAttempt) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    ctx.userConfig.DOWNLOAD_RETRY_INTERVAL = 200;
    ASSERT_TRUE(ctx.detectRunning.TryEnter(DetectMode::Background));
    ctx.eventDetectComplete.Set();  // left by a run that nobody waited for
    FakeDetection detection({DetectionResult::Ok});
    std::thread update([&] { RunUpdate(detection); });
    ASSERT_TRUE(WaitUntil([&] { return CountLogged("[DOWNLOAD][DUMP] wait for auto detect thread fail") == 1; },
                          std::chrono::seconds(10)));
    ctx.detectRunning.Leave();
    update.join();
    EXPECT_EQ(detection.calls(), 1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
}

TEST_F(AutoDownloadTest, CurrentListThatCannotBeReplacedStaysWhole) {
    // A directory where the list should be: it cannot be replaced, so every
    // attempt fails after its detection succeeded.
    std::filesystem::create_directory(dir.File("Quillomark.conf"));
    server.Serve("/list.conf", kNewList);
    FakeDetection detection({DetectionResult::Ok});
    RunUpdate(detection);
    EXPECT_EQ(detection.calls(), 6);
    EXPECT_EQ(CountLogged("[DOWNLOAD][DUMP] wait for auto detect thread success"), 6);
    EXPECT_EQ(CountLogged("[DOWNLOAD][MAJOR] The config file was updated."), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("Quillomark.conf")));
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.conf."));
}

TEST_F(AutoDownloadTest, ReplacementWaitsForAReaderOfTheList) {
    dir.Write("Quillomark.conf", kOldList);
    server.Serve("/list.conf", kNewList);
    FakeDetection detection({DetectionResult::Ok});
    // A reader that holds the list until the test lets it go.
    std::promise<void> holding, release;
    std::thread reader([&] {
        ctx.connListLock.Hold([&] {
            holding.set_value();
            release.get_future().wait();
        });
    });
    holding.get_future().wait();
    std::thread update([&] { RunUpdate(detection); });
    ASSERT_TRUE(WaitUntil([&] { return detection.calls() == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(dir.Read("Quillomark.conf"), kOldList);
    release.set_value();
    reader.join();
    update.join();
    EXPECT_EQ(dir.Read("Quillomark.conf"), WithoutCr(kNewList));
}

}  // namespace
