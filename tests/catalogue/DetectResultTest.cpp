#include "catalogue/DetectResult.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ContextFixture.h"
#include "support/FileSizeLimit.h"
#include "support/OutcomeText.h"

namespace {

ProtocalInfo Record(int32_t cost, int32_t type, const char* dest, const char* code) {
    ProtocalInfo r;
    r.LinkCost = cost;
    r.Type = type;
    r.IsSSL = type == MAIL_SSL;
    r.SetDest(dest);
    r.SetCode(code);
    r.Port[SMTP] = type == MAIL_SSL ? 465 : 25;
    r.Port[POP3] = type == MAIL_SSL ? 995 : 110;
    r.Port[IMAP4] = type == MAIL_SSL ? 993 : 143;
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string LocalTime(int32_t stamp) {
    std::time_t when = stamp;
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

class DetectResultTest : public ContextFixture<CatalogueContext> {
protected:
    DetectResultTest() {
        ranked.PushBack(Record(12, MAIL, "10.0.0.1", "plain-1"));
        ranked.PushBack(Record(40, MAIL_SSL, "mailhost", "ssl-1"));
        ranked.PushBack(Record(-1, MAIL, "down.example", "plain-2"));
    }

    CatalogueResult ReadContent(const std::string& content) {
        dir.Write("detect_result.log", content);
        return ReadDetectResult(ctx, stamp, list, false);
    }
    ProtocalInfoList ranked;
    ProtocalInfoList list;
    int32_t stamp = 77;
};

TEST_F(DetectResultTest, RoundTripKeepsRecordsOrderAndStamp) {
    int32_t before = static_cast<int32_t>(std::time(nullptr));
    ASSERT_EQ(CatalogueResult::Ok, WriteDetectResult(ctx, ranked, false));
    int32_t after = static_cast<int32_t>(std::time(nullptr));
    EXPECT_GE(ctx.resultTimes.Get(false), before);
    EXPECT_LE(ctx.resultTimes.Get(false), after);
    EXPECT_EQ(0, ctx.resultTimes.Get(true));

    std::vector<std::string> lines = Lines(dir.Read("detect_result.log"));
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(std::to_string(ctx.resultTimes.Get(false)), lines[0]);
    EXPECT_EQ(LocalTime(ctx.resultTimes.Get(false)), lines[1]);
    EXPECT_EQ("12 MAIL 10.0.0.1 25 110 143 plain-1", lines[2]);
    EXPECT_EQ("40 MAIL-SSL mailhost 465 995 993 ssl-1", lines[3]);
    EXPECT_EQ("-1 MAIL down.example 25 110 143 plain-2", lines[4]);
    EXPECT_FALSE(dir.HasEntryBeginningWith("detect_result.log."));
    EXPECT_TRUE(Logged("[DETECT][DUMP] start to write detect result log"));

    ASSERT_EQ(CatalogueResult::Ok, ReadDetectResult(ctx, stamp, list, false));
    EXPECT_EQ(ctx.resultTimes.Get(false), stamp);
    ASSERT_EQ(3, list.Count());
    auto expected = ranked.begin();
    for (const ProtocalInfo& r : list) {
        EXPECT_EQ(expected->LinkCost, r.LinkCost);
        EXPECT_EQ(expected->Type, r.Type);
        EXPECT_EQ(expected->IsSSL, r.IsSSL);
        EXPECT_STREQ(expected->Dest, r.Dest);
        EXPECT_STREQ(expected->Code, r.Code);
        for (int p = 0; p < kProtocolCount; ++p) EXPECT_EQ(expected->Port[p], r.Port[p]);
        ++expected;
    }
    EXPECT_EQ(-1, (list.begin() + 2)->LinkCost);
    EXPECT_TRUE(Logged("[DETECT][DUMP] start to read detect result log"));
    EXPECT_TRUE(Logged("[DETECT][DUMP] read detect result log end"));
}

TEST_F(DetectResultTest, ManualChoiceHasItsOwnFileAndStamp) {
    ProtocalInfoList chosen;
    chosen.PushBack(Record(40, MAIL_SSL, "mailhost", "ssl-1"));
    ASSERT_EQ(CatalogueResult::Ok, WriteDetectResult(ctx, chosen, true));
    EXPECT_NE(0, ctx.resultTimes.Get(true));
    EXPECT_EQ(0, ctx.resultTimes.Get(false));
    EXPECT_TRUE(dir.Exists("manual_set.log"));
    EXPECT_FALSE(dir.Exists("detect_result.log"));

    ASSERT_EQ(CatalogueResult::Ok, ReadDetectResult(ctx, stamp, list, true));
    EXPECT_EQ(ctx.resultTimes.Get(true), stamp);
    ASSERT_EQ(1, list.Count());
    EXPECT_STREQ("ssl-1", list.First()->Code);
    EXPECT_EQ(CatalogueResult::ReadFailed, ReadDetectResult(ctx, stamp, list, false));
}

TEST_F(DetectResultTest, EmptyListGivesTheTwoHeaderLines) {
    ASSERT_EQ(CatalogueResult::Ok, WriteDetectResult(ctx, ProtocalInfoList(), false));
    EXPECT_EQ(2u, Lines(dir.Read("detect_result.log")).size());
    EXPECT_EQ(CatalogueResult::Ok, ReadDetectResult(ctx, stamp, list, false));
    EXPECT_EQ(ctx.resultTimes.Get(false), stamp);
    EXPECT_TRUE(list.Empty());
}

TEST_F(DetectResultTest, ReaderAppendsAndAcceptsCrLf) {
    ProtocalInfo earlier;
    earlier.SetCode("earlier");
    list.PushBack(earlier);
    EXPECT_EQ(CatalogueResult::Ok,
              ReadContent("1236254829\r\n2009/03/05 14:07:09\r\n5 MAIL-SSL h 465 995 993 c\r\n"));
    EXPECT_EQ(1236254829, stamp);
    ASSERT_EQ(2, list.Count());
    EXPECT_STREQ("c", (list.begin() + 1)->Code);
    EXPECT_TRUE((list.begin() + 1)->IsSSL);
}

// What a result file's lines give: the result, the stamp (77 before the
// read), how many records were read, and a line the log must hold.
struct ResultCase {
    const char* name;
    std::string content;
    CatalogueResult result;
    int32_t stamp;
    int records;
    const char* logged = "";
};

void PrintTo(const ResultCase& c, std::ostream* out) { *out << c.name; }

class DetectResultLinesTest : public DetectResultTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(DetectResultLinesTest, GiveTheirRecordsOrStopAtTheFirstBadLine) {
    const ResultCase& c = GetParam();
    EXPECT_EQ(c.result, ReadContent(c.content));
    EXPECT_EQ(c.stamp, stamp);
    EXPECT_EQ(c.records, list.Count());
    EXPECT_TRUE(Logged(c.logged)) << Log();
    EXPECT_TRUE(Logged("read detect result log end"));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DetectResultLinesTest,
    ::testing::Values(
        ResultCase{"EmptyFile", "", CatalogueResult::Ok, 77, 0},
        ResultCase{"StampNotANumber", "not a number\n2009/03/05 14:07:09\n5 MAIL h 1 2 3 c\n", CatalogueResult::Ok, 77,
                   1},
        ResultCase{"EmptyRecordLine", "100\n2009/03/05 14:07:09\n5 MAIL h 1 2 3 c\n\n6 MAIL h 1 2 3 d\n",
                   CatalogueResult::ReadFailed, 100, 1, "[DETECT][MINOR] ERROR: result log format error at line=\n"},
        ResultCase{"TypeZZZ", "100\nx\n5 MAIL h 1 2 3 c\n5 ZZZ h 1 2 3 z\n", CatalogueResult::ReadFailed, 100, 1,
                   "[DETECT][MINOR] ERROR: unknown protocal name ZZZ"},
        // The first piece of an overlong line is a record, the rest of the
        // line is malformed.
        ResultCase{"LongCode", "1\n2\n5 MAIL h 1 2 3 " + std::string(10000, 'c') + "\n", CatalogueResult::ReadFailed,
                   1, 1},
        ResultCase{"LongDestination", "1\n2\n5 MAIL " + std::string(64, 'd') + " 1 2 3 c\n",
                   CatalogueResult::ReadFailed, 1, 0},
        ResultCase{"NulInALine", std::string("1\n2\n5 MAIL h\0 1 2 3 c\n", 22), CatalogueResult::ReadFailed, 1, 0},
        ResultCase{"StampTooBig", std::string(10000, '9') + "\n", CatalogueResult::ReadFailed, 77, 0}),
    [](const ::testing::TestParamInfo<ResultCase>& info) { return std::string(info.param.name); });

TEST_F(DetectResultTest, FailedWriteStillAdvancesTheStamp) {
    // A disk too full for the new file (but not for the log's one line), so
    // the old file stays as it was.
    dir.Write("detect_result.log", "100\n2009/03/05 14:07:09\n");
    for (int i = 0; i < 20; ++i) ranked.PushBack(Record(i, MAIL, "host", "code"));
    {
        FileSizeLimit full(200);
        EXPECT_EQ(CatalogueResult::WriteFailed, WriteDetectResult(ctx, ranked, false));
    }
    EXPECT_GE(ctx.resultTimes.Get(false), 1000000000);
    EXPECT_EQ("100\n2009/03/05 14:07:09\n", dir.Read("detect_result.log"));
    EXPECT_TRUE(Logged("[DETECT][MAJOR] ERROR: open result log to write failed"));
}

TEST_F(DetectResultTest, EveryWriteGetsAGreaterStampEvenWithinOneSecond) {
    // A listener reloads only for a greater stamp than it loaded: two writes in
    // one second must still be told apart.
    int32_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(CatalogueResult::Ok, WriteDetectResult(ctx, ranked, false));
        EXPECT_GT(ctx.resultTimes.Get(false), previous);
        previous = ctx.resultTimes.Get(false);
        ProtocalInfoList back;
        ASSERT_EQ(CatalogueResult::Ok, ReadDetectResult(ctx, stamp, back, false));
        EXPECT_EQ(stamp, ctx.resultTimes.Get(false));
    }
    EXPECT_EQ(0, ctx.resultTimes.Get(true)) << "each mode has its own stamp";
}

TEST_F(DetectResultTest, ResultPathThatIsADirectoryIsNotReplaced) {
    std::filesystem::create_directory(dir.File("manual_set.log"));
    EXPECT_EQ(CatalogueResult::WriteFailed, WriteDetectResult(ctx, ranked, true));
    EXPECT_NE(0, ctx.resultTimes.Get(true));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("manual_set.log")));
    EXPECT_FALSE(dir.HasEntryBeginningWith("manual_set.log."));
    EXPECT_EQ(CatalogueResult::ReadFailed, ReadDetectResult(ctx, stamp, list, true));
    EXPECT_EQ(77, stamp);
}

TEST_F(DetectResultTest, WriteIntoMissingDirectory) {
    ctx.baseDirectory = dir.File("gone");
    EXPECT_EQ(CatalogueResult::WriteFailed, WriteDetectResult(ctx, ranked, false));
    EXPECT_NE(0, ctx.resultTimes.Get(false));
}

TEST_F(DetectResultTest, MissingFileLeavesStampAndList) {
    EXPECT_EQ(CatalogueResult::ReadFailed, ReadDetectResult(ctx, stamp, list, false));
    EXPECT_EQ(77, stamp);
    EXPECT_TRUE(list.Empty());
    EXPECT_TRUE(Logged("[DETECT][MAJOR] ERROR: open result log to read failed"));
    EXPECT_TRUE(Logged("read detect result log end"));
}

TEST_F(DetectResultTest, HostileBytesGiveBoundedRecords) {
    std::string binary;
    for (int i = 0; i < 5000; ++i) binary += static_cast<char>((i * 131 + 7) & 0xFF);
    CatalogueResult result = ReadContent(binary);
    EXPECT_TRUE(result == CatalogueResult::Ok || result == CatalogueResult::ReadFailed) << result;
    for (const ProtocalInfo& r : list) {
        EXPECT_LT(std::strlen(r.Dest), static_cast<size_t>(kDestSize));
        EXPECT_LT(std::strlen(r.Code), static_cast<size_t>(kCodeSize));
    }
}

TEST_F(DetectResultTest, ReaderNeverSeesAPartialFile) {
    for (int i = 0; i < 200; ++i) ranked.PushBack(Record(i, MAIL, "host", "code"));
    ASSERT_EQ(CatalogueResult::Ok, WriteDetectResult(ctx, ranked, false));
    std::thread writer([this] {
        for (int i = 0; i < 50; ++i) WriteDetectResult(ctx, ranked, false);
    });
    for (int i = 0; i < 50; ++i) {
        ProtocalInfoList read;
        int32_t readStamp = 0;
        ASSERT_EQ(CatalogueResult::Ok, ReadDetectResult(ctx, readStamp, read, false));
        ASSERT_EQ(ranked.Count(), read.Count());
    }
    writer.join();
}

}  // namespace
