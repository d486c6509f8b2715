#include "report/ReportBody.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "support/LogStateProbe.h"
#include "support/OutcomeText.h"

namespace {

const std::string kBakNote = "NOTE: bak file /Quillomark.bak NOT EXIST\n\n";

class ReportBodyTest : public CoreContextTest {
protected:
    ReportBodyTest() : CoreContextTest(100000000) {}

    // The log data part as the mail would carry it, and its result.
    std::string LogData(int32_t budget, ReportResult* result = nullptr) {
        pieces.clear();
        ReportBodyWriter body([this](const char* data, std::size_t n) {
            if (onPiece) onPiece(std::string(data, n));
            pieces.emplace_back(data, n);
        });
        ReportResult r = WriteReportLogData(ctx, body, budget);
        if (result != nullptr) *result = r;
        std::string all;
        for (const std::string& p : pieces) all += p;
        return all;
    }
    static std::string Separator(int budget) {
        return "======Log File(REPORT_SIZE = " + std::to_string(budget) + " bytes)======\n";
    }
    static std::string Lines(int count, const std::string& tag) {
        std::string text;
        for (int i = 0; i < count; ++i) text += tag + " line " + std::to_string(i) + "\n";
        return text;
    }
    // Whether another thread could take the log's lock right now.
    bool LogLockFree() {
        bool taken = false;
        std::thread probe([&] { taken = LogStateProbe::Free(ctx.log); });
        probe.join();
        return taken;
    }

    std::vector<std::string> pieces;
    std::function<void(const std::string&)> onPiece;
};

TEST_F(ReportBodyTest, LongLogGivesItsLastBytesOnly) {
    std::string log = Lines(100, "log");
    dir.Write("Quillomark.log", log);
    dir.Write("Quillomark.bak", Lines(10, "bak"));
    ReportResult result = ReportResult::LogFileFailed;
    EXPECT_EQ(LogData(300, &result), Separator(300) + log.substr(log.size() - 300));
    EXPECT_EQ(result, ReportResult::Ok);
    // Exactly as long as the budget: the whole log, still no backup.
    EXPECT_EQ(LogData(static_cast<int32_t>(log.size())), Separator(static_cast<int32_t>(log.size())) + log);
    EXPECT_EQ(LogData(0), Separator(0));
    EXPECT_EQ(LogData(-5), Separator(-5));
}

TEST_F(ReportBodyTest, ShortLogWithoutBackupGetsTheNote) {
    std::string log = Lines(5, "log");
    dir.Write("Quillomark.log", log);
    EXPECT_EQ(LogData(10000), Separator(10000) + kBakNote + log);
    std::filesystem::create_directory(dir.File("Quillomark.bak"));  // not a backup either
    EXPECT_EQ(LogData(10000), Separator(10000) + kBakNote + log);
}

TEST_F(ReportBodyTest, ShortLogIsPrecededByTheBackupTailThatFits) {
    std::string log = Lines(5, "log");
    std::string bak = Lines(50, "bak");
    dir.Write("Quillomark.log", log);
    dir.Write("Quillomark.bak", bak);
    int32_t budget = static_cast<int32_t>(log.size()) + 100;
    EXPECT_EQ(LogData(budget), Separator(budget) + bak.substr(bak.size() - 100) + log);
    budget = static_cast<int32_t>(log.size() + bak.size());
    EXPECT_EQ(LogData(budget), Separator(budget) + bak + log);
    EXPECT_EQ(LogData(budget + 5000), Separator(budget + 5000) + bak + log);
}

TEST_F(ReportBodyTest, BytesAreCountedOnDiskAndCrLfArrivesAsLf) {
    dir.Write("Quillomark.log", "one\r\ntwo\r\nthree\r\n");  // 17 bytes on disk
    EXPECT_EQ(LogData(12), Separator(12) + "two\nthree\n");
    EXPECT_EQ(LogData(15), Separator(15) + "e\ntwo\nthree\n");
    dir.Write("Quillomark.bak", "a\rb\r\n");  // a lone CR stays
    EXPECT_EQ(LogData(22), Separator(22) + "a\rb\n" + "one\ntwo\nthree\n");
}

TEST_F(ReportBodyTest, LongLineArrivesWholeInPiecesOf511) {
    std::string line(600, 'x');
    dir.Write("Quillomark.log", line + "\n");
    EXPECT_EQ(LogData(5000), Separator(5000) + kBakNote + line + "\n");
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[2], std::string(511, 'x'));
    EXPECT_EQ(pieces[3], std::string(89, 'x') + "\n");
}

TEST_F(ReportBodyTest, LinesBeginningWithADotAreStuffed) {
    std::string mid(511, 'y');
    dir.Write("Quillomark.log", ".\n.hidden\nplain\n" + mid + ".not a line start\n");
    EXPECT_EQ(LogData(5000), Separator(5000) + kBakNote + "..\n..hidden\nplain\n" + mid + ".not a line start\n");
    // A tail that begins on a dot is a line start in the mail as well.
    dir.Write("Quillomark.log", "end of a line.\nnext\n");
    EXPECT_EQ(LogData(7), Separator(7) + "..\nnext\n");
}

TEST_F(ReportBodyTest, BinaryBytesAndNulPassThrough) {
    std::string binary("a\0b\xff\x01\n", 6);
    dir.Write("Quillomark.log", binary);
    EXPECT_EQ(LogData(5000), Separator(5000) + kBakNote + binary);
}

TEST_F(ReportBodyTest, LogLockIsHeldWhileTheLogDataGoesOut) {
    dir.Write("Quillomark.log", Lines(3, "log"));
    dir.Write("Quillomark.bak", Lines(3, "bak"));
    std::vector<bool> freeDuring;
    onPiece = [&](const std::string&) { freeDuring.push_back(LogLockFree()); };
    LogData(5000);
    ASSERT_EQ(freeDuring.size(), 7u);
    for (bool free : freeDuring) EXPECT_FALSE(free);
    EXPECT_TRUE(LogLockFree());
}

TEST_F(ReportBodyTest, MissingLogFailsAndIsLoggedAfterTheLockIsReleased) {
    ReportResult result = ReportResult::Ok;
    EXPECT_EQ(LogData(5000, &result), Separator(5000));
    EXPECT_EQ(result, ReportResult::LogFileFailed);
    // The line could only be written because the lock was free again.
    EXPECT_NE(dir.Read("Quillomark.log").find("[UI][MAJOR] ERROR: open log file " + dir.File("Quillomark.log") +
                                              " failed\n"),
              std::string::npos);
}

TEST_F(ReportBodyTest, LogThatCannotBeReopenedAfterTheBackupFails) {
    dir.Write("Quillomark.log", "short log\n");
    dir.Write("Quillomark.bak", Lines(3, "bak"));
    onPiece = [&](const std::string& piece) {
        if (piece.rfind("bak", 0) == 0) std::filesystem::remove(dir.File("Quillomark.log"));
    };
    ReportResult result = ReportResult::Ok;
    std::string data = LogData(5000, &result);
    EXPECT_EQ(result, ReportResult::LogFileFailed);
    EXPECT_EQ(data, Separator(5000) + Lines(3, "bak"));
    EXPECT_NE(dir.Read("Quillomark.log").find("ERROR: open log file " + dir.File("Quillomark.log") + " failed"),
              std::string::npos);
}

TEST_F(ReportBodyTest, LogThatIsADirectoryFails) {
    std::filesystem::create_directory(dir.File("Quillomark.log"));
    ReportResult result = ReportResult::Ok;
    LogData(5000, &result);
    EXPECT_EQ(result, ReportResult::LogFileFailed);
}

TEST_F(ReportBodyTest, DetectResultWholeOrItsNote) {
    std::string all;
    ReportBodyWriter body([&](const char* data, std::size_t n) { all.append(data, n); });
    WriteReportDetectResult(ctx, body);
    EXPECT_EQ(all, "\n======Detect Result File======\nNOTE: detect result file /detect_result.log NOT EXIST\n");

    std::string result = "MAIL 127.0.0.1 25 110 143 a 12\r\n" + std::string(700, 'r') + "\r\n";
    dir.Write("detect_result.log", result);
    all.clear();
    WriteReportDetectResult(ctx, body);
    EXPECT_EQ(all, "\n======Detect Result File======\nMAIL 127.0.0.1 25 110 143 a 12\n" + std::string(700, 'r') +
                       "\n");
}

}  // namespace
