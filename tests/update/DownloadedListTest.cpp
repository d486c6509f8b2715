#include "update/DownloadedList.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/OutcomeText.h"
#include "update/ListHeaderTime.h"

namespace {

const char* const kHeader = "2009/05/20 12:30:00\r\n";

DownloadState Body(const std::string& body) {
    DownloadState state;
    std::size_t n = body.size() < kDownloadBufferSize ? body.size() : kDownloadBufferSize;
    std::memcpy(state.downloadBuffer, body.data(), n);
    state.downloadLength = static_cast<uint32_t>(n);
    return state;
}

UpdateResult Check(const std::string& body) { return ValidateDownloadedList(Body(body)); }

TEST(DownloadedListTest, AcceptsUsableLists) {
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL 10.0.0.1 25 110 143 plain-1\r\n"), UpdateResult::Ok);
    EXPECT_EQ(Check(std::string(kHeader) + "# comment\r\nMAIL-SSL 10.0.0.2 465 995 993 ssl-1\r\n"
                                           "MAIL 10.0.0.1 25 110 143 plain-1 extra words\r\n"),
              UpdateResult::Ok);
    // A last line without its line end, and LF-only line ends.
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL 10.0.0.1 25 110 143 plain-1"), UpdateResult::Ok);
    EXPECT_EQ(Check("2009/05/20 12:30:00\nMAIL 10.0.0.1 25 110 143 a\n"), UpdateResult::Ok);
    // The header tokens are not checked here, only counted.
    EXPECT_EQ(Check("not-a-date nor-time\r\nMAIL 10.0.0.1 25 110 143 a\r\n"), UpdateResult::Ok);
}

TEST(DownloadedListTest, TypeWordIsALeadingPartOfAKnownName) {
    EXPECT_EQ(Check(std::string(kHeader) + "MA 10.0.0.1 25 110 143 a\r\n"), UpdateResult::Ok);
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL-S 10.0.0.1 25 110 143 a\r\n"), UpdateResult::Ok);
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL 10.0.0.1 25 110 143 a\r\nSMTP 10.0.0.1 25 110 143 b\r\n"),
              UpdateResult::ListRejected);
    EXPECT_EQ(Check(std::string(kHeader) + "MAILX 10.0.0.1 25 110 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(std::string(kHeader) + "ZZZ 10.0.0.1 25 110 143 a\r\n"), UpdateResult::ListRejected);
}

TEST(DownloadedListTest, RejectsBadHeaders) {
    EXPECT_EQ(Check("2009/05/20\r\nMAIL 10.0.0.1 25 110 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check("\r\nMAIL 10.0.0.1 25 110 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check("   \r\nMAIL 10.0.0.1 25 110 143 a\r\n"), UpdateResult::ListRejected);
    // Without any line end there is no header at all.
    EXPECT_EQ(Check("2009/05/20 12:30:00 MAIL 10.0.0.1 25 110 143 a"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(""), UpdateResult::ListRejected);
}

TEST(DownloadedListTest, RejectsBodiesWithoutConnectionsOrWithABadLine) {
    EXPECT_EQ(Check(kHeader), UpdateResult::ListRejected);
    EXPECT_EQ(Check(std::string(kHeader) + "# one\r\n# two\r\n"), UpdateResult::ListRejected);
    const std::string good = "MAIL 10.0.0.1 25 110 143 a\r\n";
    EXPECT_EQ(Check(kHeader + good + "\r\n" + good), UpdateResult::ListRejected);        // empty line
    EXPECT_EQ(Check(kHeader + good + "   \t\r\n" + good), UpdateResult::ListRejected);   // blanks only
    EXPECT_EQ(Check(kHeader + good + "MAIL 10.0.0.1 25 110 143\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(kHeader + good + "MAIL 10.0.0.1 25 pop 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(kHeader + good + "MAIL 10.0.0.1 25 110x 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(kHeader + good + "MAIL 10.0.0.1 25 110 99999999999 a\r\n"), UpdateResult::ListRejected);
    // Ports are not range-checked.
    EXPECT_EQ(Check(kHeader + good + "MAIL 10.0.0.1 -25 +110 70000 a\r\n"), UpdateResult::Ok);
}

TEST(DownloadedListTest, RejectsWhatTheFileFormatCannotHold) {
    std::string longDest(64, 'h');
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL " + longDest + " 25 110 143 a\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(std::string(kHeader) + "MAIL " + longDest.substr(1) + " 25 110 143 a\r\n"), UpdateResult::Ok);
    std::string prefix = "MAIL 10.0.0.1 25 110 143 ";
    std::string line510 = prefix + std::string(510 - prefix.size(), 'c');
    EXPECT_EQ(Check(std::string(kHeader) + line510 + "\r\n"), UpdateResult::Ok);
    EXPECT_EQ(Check(std::string(kHeader) + line510 + "c\r\n"), UpdateResult::ListRejected);
    EXPECT_EQ(Check(std::string(kHeader) + "#" + std::string(600, 'x') + "\r\nMAIL 1.2.3.4 1 2 3 a\r\n"),
              UpdateResult::ListRejected);
    std::string withNul = std::string(kHeader) + "MAIL 10.0.0.1 25 110 143 a\r\n";
    withNul += std::string("# \0 binary\r\n", 12);
    EXPECT_EQ(Check(withNul), UpdateResult::ListRejected);
    DownloadState tooLong = Body(std::string(kHeader) + "MAIL 10.0.0.1 25 110 143 a\r\n");
    tooLong.downloadLength = kDownloadBufferSize + 1;
    EXPECT_EQ(ValidateDownloadedList(tooLong), UpdateResult::ListRejected);
}

TEST(DownloadedListTest, BinaryBodyIsRejected) {
    std::string noise;
    for (int i = 0; i < 2048; ++i) noise += static_cast<char>((i * 131 + 7) % 256);
    EXPECT_EQ(Check(noise), UpdateResult::ListRejected);
}

TEST(DownloadedListTest, HeaderTime) {
    EXPECT_EQ(ReadDownloadedListTime(Body("2009/05/20 12:30:00\r\nMAIL 1.2.3.4 1 2 3 a\r\n")),
              HeaderToSeconds(2009, 5, 20, 12, 30, 0));
    EXPECT_EQ(ReadDownloadedListTime(Body("2009/05/20 12:30:00\n")), HeaderToSeconds(2009, 5, 20, 12, 30, 0));
    EXPECT_EQ(ReadDownloadedListTime(Body("2009/05/20 12:30:00")), -1);  // no line end, no header
    EXPECT_EQ(ReadDownloadedListTime(Body("1969/12/31 23:59:59\r\n")), -1);
    EXPECT_EQ(ReadDownloadedListTime(Body("2009/05/20\r\n")), -1);
    EXPECT_EQ(ReadDownloadedListTime(Body("")), -1);
}

}  // namespace
