#include "catalogue/DetectHistory.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/LogLevel.h"
#include "support/ContextFixture.h"
#include "support/FileSizeLimit.h"
#include "support/OutcomeText.h"

namespace {

ProtocalInfo Candidate(const char* code, const char* dest, int32_t cost) {
    ProtocalInfo r;
    r.SetCode(code);
    r.SetDest(dest);
    r.LinkCost = cost;
    return r;
}

ProtocalInfoList ThreeCandidates(int32_t firstCost, int32_t secondCost, int32_t thirdCost) {
    ProtocalInfoList list;
    list.PushBack(Candidate("plain-1", "10.0.0.1", firstCost));
    list.PushBack(Candidate("ssl-1", "mailhost", secondCost));
    list.PushBack(Candidate("plain-2", "down.example", thirdCost));
    return list;
}

class DetectHistoryTest : public ContextFixture<CatalogueContext> {
protected:
    std::vector<HistoryRecord> Read() {
        std::vector<HistoryRecord> records;
        EXPECT_EQ(ReadDetectHistory(ctx, records), CatalogueResult::Ok);
        return records;
    }
};

TEST_F(DetectHistoryTest, AppendWritesOneRecordPerCandidateWithTheRunsTime) {
    ASSERT_EQ(AppendDetectHistory(ctx, ThreeCandidates(312, -1, 40)), CatalogueResult::Ok);
    std::vector<HistoryRecord> records = Read();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Code, "plain-1");
    EXPECT_EQ(records[0].Dest, "10.0.0.1");
    EXPECT_EQ(records[0].LinkCost, 312);
    EXPECT_EQ(records[1].LinkCost, -1);
    EXPECT_EQ(records[2].Code, "plain-2");
    EXPECT_EQ(records[0].time, records[2].time);
    EXPECT_GT(records[0].time, 1700000000000);  // milliseconds, not seconds

    std::string line = std::to_string(records[0].time) + " plain-1 10.0.0.1 312\n";
    EXPECT_EQ(dir.Read("detect_history.log").substr(0, line.size()), line);
    EXPECT_FALSE(dir.HasEntryBeginningWith("detect_history.log."));
}

TEST_F(DetectHistoryTest, RunsFollowEachOtherInOrderEvenWithinOneMillisecond) {
    for (int run = 0; run < 5; ++run)
        ASSERT_EQ(AppendDetectHistory(ctx, ThreeCandidates(run, run, run)), CatalogueResult::Ok);
    std::vector<HistoryRecord> records = Read();
    ASSERT_EQ(records.size(), 15u);
    for (std::size_t i = 3; i < records.size(); i += 3) {
        EXPECT_GT(records[i].time, records[i - 3].time);
        EXPECT_EQ(records[i].LinkCost, static_cast<int32_t>(i / 3));
    }
}

TEST_F(DetectHistoryTest, EmptyListAddsNothingAndMissingFileIsAReadError) {
    EXPECT_EQ(AppendDetectHistory(ctx, ProtocalInfoList()), CatalogueResult::Ok);
    EXPECT_FALSE(dir.Exists("detect_history.log"));
    std::vector<HistoryRecord> records;
    EXPECT_EQ(ReadDetectHistory(ctx, records), CatalogueResult::ReadFailed);
    EXPECT_TRUE(records.empty());
}

TEST_F(DetectHistoryTest, KeepsTheLast500Runs) {
    for (int run = 0; run < kHistoryRunLimit + 5; ++run) {
        ProtocalInfoList list;
        list.PushBack(Candidate("a", "h1", run));
        list.PushBack(Candidate("b", "h2", -1));
        ASSERT_EQ(AppendDetectHistory(ctx, list), CatalogueResult::Ok);
    }
    std::vector<HistoryRecord> records = Read();
    ASSERT_EQ(records.size(), 2u * kHistoryRunLimit);
    EXPECT_EQ(records.front().LinkCost, 5);  // runs 0 to 4 dropped, whole
    EXPECT_EQ(records.front().Code, "a");
    EXPECT_EQ(records.back().Code, "b");
    EXPECT_EQ(records[records.size() - 2].LinkCost, kHistoryRunLimit + 4);
}

TEST_F(DetectHistoryTest, MalformedLinesAreSkippedAndDroppedAtTheNextAppend) {
    std::string bad(1, '\0');
    dir.Write("detect_history.log",
              "1000 good-1 host 12\n"
              "\n"
              "garbage\n"
              "1000 too few\n"
              "1000 a b 1 extra\n"
              "x1000 a b 1\n"
              "1000  a b 1\n"
              "-5 a b 1\n"
              "1000 a b 99999999999\n"
              "1000 a " + std::string(64, 'd') + " 1\n"
              "1000 a b 1" + bad + "\n"
              "2000 good-2 host -1\r\n"
              "\xff\xfe\x01 binary\n"
              "3000 good-3 " + std::string(63, 'd') + " -2147483648");
    std::vector<HistoryRecord> records = Read();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Code, "good-1");
    EXPECT_EQ(records[1].LinkCost, -1);
    EXPECT_EQ(records[2].LinkCost, INT32_MIN);
    EXPECT_NE(ReadLog(dir).find("ERROR: history log skipped 10 bad lines"), std::string::npos);

    ASSERT_EQ(AppendDetectHistory(ctx, ThreeCandidates(1, 2, 3)), CatalogueResult::Ok);
    records = Read();
    EXPECT_EQ(records.size(), 6u);
    EXPECT_EQ(ReadLog(dir).find("skipped", ReadLog(dir).find("skipped") + 1), std::string::npos);
}

TEST_F(DetectHistoryTest, BlanksInACodeCannotSplitTheRecord) {
    ProtocalInfoList list;
    list.PushBack(Candidate("two words", "host\tname", 7));
    list.PushBack(Candidate("", "h", 8));
    ASSERT_EQ(AppendDetectHistory(ctx, list), CatalogueResult::Ok);
    std::vector<HistoryRecord> records = Read();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Code, "two?words");
    EXPECT_EQ(records[0].Dest, "host?name");
    EXPECT_EQ(records[1].Code, "?");
}

TEST_F(DetectHistoryTest, AFailedWriteLeavesThePreviousHistoryWhole) {
    ctx.userConfig.LOG_LVL = MAJOR;  // a log short enough for the full disk below
    for (int run = 0; run < 5; ++run)
        ASSERT_EQ(AppendDetectHistory(ctx, ThreeCandidates(1, 2, 3)), CatalogueResult::Ok);
    std::string before = dir.Read("detect_history.log");
    {
        FileSizeLimit full(before.size());  // the longer new history does not fit
        EXPECT_EQ(AppendDetectHistory(ctx, ThreeCandidates(4, 5, 6)), CatalogueResult::WriteFailed);
    }
    EXPECT_EQ(dir.Read("detect_history.log"), before);
    EXPECT_FALSE(dir.HasEntryBeginningWith("detect_history.log."));
    EXPECT_NE(ReadLog(dir).find("[DETECT][MAJOR] ERROR: write history log failed"),
              std::string::npos);
}

// The reader takes no lock, so this is what the replacement through a renamed
// temporary file must guarantee: every read sees whole runs of whole lines.
TEST_F(DetectHistoryTest, AReadDuringAWriteNeverSeesHalfARecord) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int run = 0; run < 150; ++run) AppendDetectHistory(ctx, ThreeCandidates(run, -1, 1000 + run));
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        std::ifstream in(dir.File("detect_history.log"), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<HistoryRecord> records;
        ASSERT_EQ(ParseDetectHistory(text, records), 0);
        ASSERT_EQ(records.size() % 3, 0u);
        for (std::size_t i = 0; i < records.size(); i += 3) {
            ASSERT_EQ(records[i].time, records[i + 2].time);
            ASSERT_EQ(records[i + 2].LinkCost, 1000 + records[i].LinkCost);
        }
        ++reads;
    }
    writer.join();
    EXPECT_EQ(Read().size(), 450u);
}

}  // namespace
