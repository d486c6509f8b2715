#include "core/WriteLog.h"

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "support/TempDir.h"

namespace {

class WriteLogTest : public CoreContextTest {
protected:
    std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(WriteLogTest, LineHasStampCategoryLevelAndMessage) {
    WriteLog(ctx, DETECT, MINOR, "auto detect end %d", 7);
    std::string log = Log();
    EXPECT_TRUE(std::regex_match(log, std::regex(
        R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[DETECT\]\[MINOR\] auto detect end 7\n)")))
        << log;
}

TEST_F(WriteLogTest, ThresholdDecidesWhichLevelsAreWritten) {
    struct Case { int threshold; std::vector<bool> written; };  // levels 1..5
    const Case cases[] = {
        {0, {false, false, false, false, false}},
        {3, {true, true, true, false, false}},
        {4, {true, true, true, true, false}},
        {5, {true, true, true, true, true}},
    };
    for (const Case& c : cases) {
        TempDir fresh;
        CoreContext local;
        local.baseDirectory = fresh.path();
        local.userConfig.LOG_SIZE = 1000000;
        local.userConfig.LOG_LVL = c.threshold;
        for (int level = CRITICAL; level <= DUMP; ++level)
            WriteLog(local, UI, static_cast<LogLevel>(level), "level %d", level);
        std::string log = fresh.Read("Quillomark.log");
        for (int level = CRITICAL; level <= DUMP; ++level) {
            bool found = log.find("level " + std::to_string(level) + "\n") != std::string::npos;
            EXPECT_EQ(found, c.written[level - 1]) << "threshold " << c.threshold << " level " << level;
        }
    }
}

TEST_F(WriteLogTest, NothingIsWrittenBeforeSettingsAreLoaded) {
    CoreContext fresh;  // LOG_LVL is still 0
    fresh.baseDirectory = dir.path();
    WriteLog(fresh, UI, CRITICAL, "too early");
    EXPECT_FALSE(dir.Exists("Quillomark.log"));
}

TEST_F(WriteLogTest, LongMessageIsCutTo1023CharactersBeforeTheBreak) {
    std::string big(5000, 'x');
    WriteLog(ctx, PROXY, MAJOR, "%s", big.c_str());
    std::string log = Log();
    ASSERT_EQ(log.size(), 1024u);
    EXPECT_EQ(log.back(), '\n');
    EXPECT_EQ(log.find('\n'), 1023u);
}

TEST_F(WriteLogTest, LineThatFillsTheLimitExactlyStaysAndOneMoreByteRotates) {
    WriteLog(ctx, UI, MINOR, "first");
    const long firstSize = static_cast<long>(Log().size());
    WriteLog(ctx, UI, MINOR, "second");
    const long twoLines = static_cast<long>(Log().size());

    // Limit exactly two lines: the second line stays in the current file.
    TempDir exact;
    CoreContext a;
    LogInto(a, exact, static_cast<int32_t>(twoLines));
    WriteLog(a, UI, MINOR, "first");
    WriteLog(a, UI, MINOR, "second");
    EXPECT_EQ(static_cast<long>(exact.Read("Quillomark.log").size()), twoLines);
    EXPECT_FALSE(exact.Exists("Quillomark.bak"));

    // One byte less: the second line rotates first and opens the fresh log.
    TempDir over;
    CoreContext b;
    LogInto(b, over, static_cast<int32_t>(twoLines - 1));
    WriteLog(b, UI, MINOR, "first");
    WriteLog(b, UI, MINOR, "second");
    EXPECT_EQ(static_cast<long>(over.Read("Quillomark.bak").size()), firstSize);
    EXPECT_NE(over.Read("Quillomark.bak").find("first"), std::string::npos);
    std::string fresh = over.Read("Quillomark.log");
    EXPECT_NE(fresh.find("second"), std::string::npos);
    EXPECT_EQ(fresh.find("first"), std::string::npos);
}

TEST_F(WriteLogTest, RotationKeepsOnlyThePreviousGeneration) {
    ctx.userConfig.LOG_SIZE = 60;  // about one line per file
    WriteLog(ctx, UI, MINOR, "generation one");
    WriteLog(ctx, UI, MINOR, "generation two");
    WriteLog(ctx, UI, MINOR, "generation three");
    std::string bak = dir.Read("Quillomark.bak");
    EXPECT_NE(bak.find("generation two"), std::string::npos);
    EXPECT_EQ(bak.find("generation one"), std::string::npos);
    EXPECT_NE(Log().find("generation three"), std::string::npos);
}

TEST_F(WriteLogTest, FailedRenameLosesTheLineAndTheNextCallRetries) {
    ctx.userConfig.LOG_SIZE = 60;
    WriteLog(ctx, UI, MINOR, "kept in the log");
    // A non-empty directory in the backup's place can be neither deleted nor
    // replaced by the rename.
    std::filesystem::create_directory(dir.File("Quillomark.bak"));
    dir.Write("Quillomark.bak/blocker", "x");
    WriteLog(ctx, UI, MINOR, "lost line");
    EXPECT_EQ(Log().find("lost line"), std::string::npos);
    EXPECT_NE(Log().find("kept in the log"), std::string::npos);

    std::filesystem::remove_all(dir.File("Quillomark.bak"));
    WriteLog(ctx, UI, MINOR, "after the retry");
    EXPECT_NE(dir.Read("Quillomark.bak").find("kept in the log"), std::string::npos);
    EXPECT_NE(Log().find("after the retry"), std::string::npos);
}

TEST_F(WriteLogTest, UnopenableLogLosesLinesWithoutHarm) {
    ctx.baseDirectory = dir.File("missing/dir");
    WriteLog(ctx, UI, CRITICAL, "nowhere to go");
    SUCCEED();
}

TEST_F(WriteLogTest, LinesFromManyThreadsNeverInterleave) {
    ctx.userConfig.LOG_SIZE = 200000;
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                WriteLog(ctx, PROXY, MINOR, "thread %d line %d %s", t, i, std::string(80, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::string all = dir.Read("Quillomark.bak") + Log();
    std::regex whole(R"(.{19} \[PROXY\]\[MINOR\] thread (\d) line \d+ ([a-d])\2{79})");
    int count = 0;
    for (const std::string& line : Lines(all)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        EXPECT_EQ(m[2].str()[0], 'a' + (m[1].str()[0] - '0'));
        ++count;
    }
    EXPECT_GT(count, 0);
    EXPECT_LE(static_cast<long>(Log().size()), 200000);
}

TEST_F(WriteLogTest, NothingIsWrittenAfterShutdown) {
    WriteLog(ctx, UI, DUMP, "close QuilloMark");
    ctx.log.CloseForShutdown();
    WriteLog(ctx, UI, CRITICAL, "too late");
    EXPECT_EQ(Log().find("too late"), std::string::npos);
    EXPECT_NE(Log().find("close QuilloMark"), std::string::npos);
}

}  // namespace
