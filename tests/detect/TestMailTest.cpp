#include "detect/TestMail.h"

#include <clocale>
#include <cstring>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::regex kDatePattern(
    R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d \([^)]*\))");

TEST(TestMailTest, DateUsesEnglishNamesWhateverTheLocale) {
    // Whichever of these the machine has; the names must not follow it.
    for (const char* locale : {"de_DE.UTF-8", "fr_FR.UTF-8", "zh_TW.UTF-8", "C"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr) continue;
        char date[96];
        FormatMailDate(date, sizeof date);
        EXPECT_TRUE(std::regex_match(date, kDatePattern)) << locale << ": " << date;
    }
    std::setlocale(LC_ALL, "C");
}

TEST(TestMailTest, HeaderBlockCarriesTheSenderFourTimes) {
    char header[kMailBufferSize];
    std::size_t length = BuildTestMailHeader(header, sizeof header, "probe@qm.test");
    std::string text(header, length);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(
        text, parts,
        std::regex("From: \"probe@qm.test\" <probe@qm.test>\r\nSubject: \\[KOVRA\\] SMTP "
                   "TESTING!!!\r\nTo: probe@qm.test\r\nDate: ([^\r]*)\r\nMIME-Version: "
                   "1.0\r\nReturn-Path: probe@qm.test\r\nContent-Type: text/plain\r\n\r\n\r\n")))
        << text;
    EXPECT_TRUE(std::regex_match(parts[1].str(), kDatePattern));
    EXPECT_EQ(std::strlen(kTestMailSentence), kTestMailSentenceLength);
}

}  // namespace
