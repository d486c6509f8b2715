#include "catalogue/ConnConfig.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/ContextFixture.h"
#include "support/OutcomeText.h"

namespace {

constexpr const char* kHeader = "2009/03/05 14:07:09\n";

class ConnConfigTest : public ContextFixture<CatalogueContext> {
protected:
    CatalogueResult Read(const std::string& content) {
        dir.Write("Quillomark.conf", content);
        return ReadConnConfig(ctx, kConnConfigName, list);
    }
    std::string Codes() const {
        std::string codes;
        for (const ProtocalInfo& r : list) codes += std::string(r.Code) + (r.Type == MAIL_SSL ? "/ssl " : " ");
        return codes;
    }

    ProtocalInfoList list;
};

TEST_F(ConnConfigTest, ConnectionLineBecomesARecord) {
    ASSERT_EQ(CatalogueResult::Ok, Read(std::string(kHeader) +
                      "MAIL-SSL mailhost 465 995 993 ssl-1 anything after\n"
                      "MAIL 10.0.0.1 25 110 143 plain-1\n"));
    ASSERT_EQ(2, list.Count());
    const ProtocalInfo& ssl = *list.begin();
    EXPECT_EQ(MAIL_SSL, ssl.Type);
    EXPECT_TRUE(ssl.IsSSL);
    EXPECT_STREQ("mailhost", ssl.Dest);
    EXPECT_EQ(465, ssl.Port[SMTP]);
    EXPECT_EQ(995, ssl.Port[POP3]);
    EXPECT_EQ(993, ssl.Port[IMAP4]);
    EXPECT_STREQ("ssl-1", ssl.Code);
    EXPECT_EQ(0, ssl.LinkCost);
    const ProtocalInfo& plain = *(list.begin() + 1);
    EXPECT_EQ(MAIL, plain.Type);
    EXPECT_FALSE(plain.IsSSL);
    EXPECT_STREQ("10.0.0.1", plain.Dest);
    EXPECT_TRUE(Logged("[DETECT][DUMP] start to read config " + dir.File("Quillomark.conf")));
    EXPECT_TRUE(Logged("[DETECT][DUMP] read config end"));
}

// What a list's lines give: the result, the codes of the records read in
// order ("/ssl" marks a TLS record), and a line the log must hold.
struct ListCase {
    const char* name;
    std::string content;
    CatalogueResult result;
    const char* codes;
    const char* logged = "";
};

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.name; }

class ConnConfigLinesTest : public ConnConfigTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ConnConfigLinesTest, GiveTheirRecordsOrStopAtTheFirstBadLine) {
    const ListCase& c = GetParam();
    EXPECT_EQ(c.result, Read(c.content));
    EXPECT_EQ(c.codes, Codes());
    EXPECT_TRUE(Logged(c.logged)) << Log();
    EXPECT_TRUE(Logged("read config end"));
}

const std::string kH = kHeader;
INSTANTIATE_TEST_SUITE_P(
    Lines, ConnConfigLinesTest,
    ::testing::Values(
        ListCase{"HeaderOnly", kH, CatalogueResult::Ok, ""},
        ListCase{"Empty", "", CatalogueResult::Ok, ""},
        ListCase{"LineOneIsNeverRead", "MAIL host 25 110 143 first\nMAIL host 25 110 143 second\n",
                 CatalogueResult::Ok, "second "},
        ListCase{"OnlyLinesBeginningWithM",
                 kH + "# MAIL host 25 110 143 comment\n\n MAIL host 25 110 143 indented\n"
                      "\tMAIL host 25 110 143 tabbed\nZZZ host 25 110 143 zzz\nMAI host 25 110 143 short-word\n"
                      "MAIL-S host 465 995 993 short-ssl\n",
                 CatalogueResult::Ok, "short-word short-ssl/ssl "},
        // The line is logged as read, line end included.
        ListCase{"FourFields", kH + "MAIL host 25 110 143 good\nMAIL host 25 110\nMAIL host 25 110 143 never\n",
                 CatalogueResult::ListFormatError, "good ",
                 "[DETECT][MINOR] ERROR: conn config format error at line=MAIL host 25 110\n"},
        ListCase{"UnknownTypeWord",
                 kH + "MAIL host 25 110 143 one\nMAIL-SSL host 465 995 993 two\nMAILX host 25 110 143 bad\n"
                      "MAIL host 25 110 143 never\n",
                 CatalogueResult::ListFormatError, "one two/ssl ", "[DETECT][MINOR] ERROR: unknown protocal name MAILX"},
        ListCase{"WordForPort", kH + "MAIL host smtp 110 143 code\n", CatalogueResult::ListFormatError, "",
                 "format error at line=MAIL host smtp 110 143 code"},
        ListCase{"PortWithLetters", kH + "MAIL host 25 110x 143 code\n", CatalogueResult::ListFormatError, ""},
        // Cut at 63, the rest "25" would have become the SMTP port and shifted
        // every later field by one.
        ListCase{"DestinationTooLong", kH + "MAIL " + std::string(63, 'd') + "25 110 143 7 x\n",
                 CatalogueResult::ListFormatError, ""},
        ListCase{"TypeWordTooLong", kH + "MAIL" + std::string(60, 'L') + " h 25 110 143 x\n",
                 CatalogueResult::ListFormatError, ""},
        ListCase{"LongLineOfM", kH + std::string(10000, 'M') + "\n", CatalogueResult::ListFormatError, ""},
        ListCase{"NulInALine", kH + std::string("MAIL h\0 25 110 143 c\n", 21), CatalogueResult::ListFormatError,
                 ""}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(ConnConfigTest, RecordsAreAppendedToTheGivenList) {
    ProtocalInfo earlier;
    earlier.SetCode("earlier");
    list.PushBack(earlier);
    ASSERT_EQ(CatalogueResult::Ok, Read(std::string(kHeader) + "MAIL host 25 110 143 new\n"));
    EXPECT_EQ("earlier new ", Codes());
}

TEST_F(ConnConfigTest, CrLfAndLfGiveTheSameRecords) {
    ASSERT_EQ(CatalogueResult::Ok,
              Read("2009/03/05 14:07:09\r\nMAIL h1 25 110 143 a\r\nMAIL-SSL h2 465 995 993 b\r\n"));
    ProtocalInfoList crlf = list;
    list.Clear();
    ASSERT_EQ(CatalogueResult::Ok, Read("2009/03/05 14:07:09\nMAIL h1 25 110 143 a\nMAIL-SSL h2 465 995 993 b\n"));
    ASSERT_EQ(2, crlf.Count());
    ASSERT_EQ(2, list.Count());
    for (int i = 0; i < 2; ++i) {
        const ProtocalInfo& x = *(crlf.begin() + i);
        const ProtocalInfo& y = *(list.begin() + i);
        EXPECT_STREQ(y.Code, x.Code);  // no CR left at the end of the code
        EXPECT_STREQ(y.Dest, x.Dest);
        EXPECT_EQ(y.Type, x.Type);
        EXPECT_EQ(y.Port[IMAP4], x.Port[IMAP4]);
    }
}

TEST_F(ConnConfigTest, FieldsTooLongForTheRecordAreRefused) {
    std::string dest63(63, 'd');
    ASSERT_EQ(CatalogueResult::Ok, Read(std::string(kHeader) + "MAIL " + dest63 + " 25 110 143 fits\n"));
    EXPECT_STREQ(dest63.c_str(), list.begin()->Dest);
}

TEST_F(ConnConfigTest, MissingFileOrDirectoryCannotBeOpened) {
    ProtocalInfo kept;
    list.PushBack(kept);
    EXPECT_EQ(CatalogueResult::ListUnopenable, ReadConnConfig(ctx, "/NoSuch.conf", list));
    EXPECT_TRUE(Logged("[DETECT][MAJOR] ERROR: open conn config failed"));
    EXPECT_TRUE(Logged("read config end"));
    std::filesystem::create_directory(dir.File("Quillomark.conf"));
    EXPECT_EQ(CatalogueResult::ListUnopenable, ReadConnConfig(ctx, kConnConfigName, list));
    EXPECT_EQ(1, list.Count());
    EXPECT_EQ(CatalogueResult::MissingName, ReadConnConfig(ctx, nullptr, list));
}

TEST_F(ConnConfigTest, HostileContentGivesItsCodeOnly) {
    // A 10,000-character line: the piece holding the code ends it, the rest
    // is read as further lines, which do not begin with "M".
    ASSERT_EQ(CatalogueResult::Ok,
              Read(std::string(kHeader) + "MAIL h 25 110 143 " + std::string(10000, 'x') + "\n"));
    ASSERT_EQ(1, list.Count());
    EXPECT_EQ(511u - 18u, std::strlen(list.begin()->Code));

    list.Clear();
    std::string binary = kHeader;
    for (int i = 0; i < 5000; ++i) binary += static_cast<char>(i % 7 == 0 ? 'M' : (i * 91) & 0xFF);
    CatalogueResult result = Read(binary);
    EXPECT_TRUE(result == CatalogueResult::Ok || result == CatalogueResult::ListFormatError) << result;
    for (const ProtocalInfo& r : list) {
        EXPECT_LT(std::strlen(r.Dest), static_cast<size_t>(kDestSize));
        EXPECT_LT(std::strlen(r.Code), static_cast<size_t>(kCodeSize));
    }
}

}  // namespace
