#include "update/ListHeaderTime.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace {

int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<int64_t>(timegm(&t));
}

int64_t Line(const std::string& text) { return HeaderLineToSeconds(text.data(), text.size()); }

TEST(ListHeaderTimeTest, TablesHoldLeapYearsAndMonthStarts) {
    int leaps = 0;
    for (int i = 0; i < kLeapDaysBeforeCount; ++i) {
        EXPECT_EQ(leapDaysBefore[i], leaps) << "entry " << i;
        EXPECT_EQ(leapDaysBefore[i], (i + 1) / 4) << "entry " << i;
        leaps += IsLeapYear(1970 + i);
    }
    EXPECT_EQ(leapDaysBefore[67], 17);
    EXPECT_EQ(leapDaysBefore[69], 17);
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int days = 0;
    for (int m = 0; m < 12; ++m) {
        EXPECT_EQ(daysBeforeMonth[m], days);
        days += lengths[m];
    }
}

TEST(ListHeaderTimeTest, LeapYearRule) {
    EXPECT_EQ(IsLeapYear(2000), 1);
    EXPECT_EQ(IsLeapYear(2100), 0);
    EXPECT_EQ(IsLeapYear(1900), 0);
    EXPECT_EQ(IsLeapYear(2004), 1);
    EXPECT_EQ(IsLeapYear(2009), 0);
}

TEST(ListHeaderTimeTest, EveryDayOfTheRangeMatchesTheCalendar) {
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year = 1970; year <= 2038; ++year)
        for (int month = 1; month <= 12; ++month) {
            int last = lengths[month - 1] + (month == 2 ? IsLeapYear(year) : 0);
            for (int day = 1; day <= last; ++day)
                ASSERT_EQ(HeaderToSeconds(year, month, day, 13, 7, 9), Utc(year, month, day, 13, 7, 9))
                    << year << "/" << month << "/" << day;
        }
}

TEST(ListHeaderTimeTest, RangeEdges) {
    EXPECT_EQ(HeaderToSeconds(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(HeaderToSeconds(1969, 12, 31, 23, 59, 59), -1);
    EXPECT_EQ(HeaderToSeconds(2039, 1, 1, 0, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 13, 1, 0, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 0, 1, 0, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 0, 0, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 32, 0, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 1, 24, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 1, -1, 0, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 1, 0, 60, 0), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 1, 0, 0, 61), -1);
    EXPECT_EQ(HeaderToSeconds(2009, 1, 1, 0, 0, 60), Utc(2009, 1, 1, 0, 1, 0));
    EXPECT_EQ(HeaderToSeconds(INT_MIN, INT_MAX, INT_MAX, INT_MIN, INT_MAX, INT_MIN), -1);
}

TEST(ListHeaderTimeTest, DayIsNotCheckedAgainstItsMonth) {
    EXPECT_EQ(HeaderToSeconds(2009, 2, 31, 0, 0, 0), HeaderToSeconds(2009, 3, 3, 0, 0, 0));
    EXPECT_EQ(HeaderToSeconds(2000, 3, 1, 0, 0, 0) - HeaderToSeconds(2000, 2, 28, 0, 0, 0), 2 * 86400);
}

TEST(ListHeaderTimeTest, LateTwentyThirtyEightStillCountsForward) {
    int64_t last32 = HeaderToSeconds(2038, 1, 19, 3, 14, 7);
    EXPECT_EQ(last32, INT32_MAX);
    EXPECT_GT(HeaderToSeconds(2038, 1, 19, 3, 14, 8), last32);
    EXPECT_EQ(HeaderToSeconds(2038, 12, 31, 23, 59, 60), Utc(2039, 1, 1, 0, 0, 0));
}

TEST(ListHeaderTimeTest, HeaderLineTokens) {
    EXPECT_EQ(Line("2009/05/20 12:30:00"), Utc(2009, 5, 20, 12, 30, 0));
    EXPECT_EQ(Line("  2009/005/020\t012:030:09 anything after"), Utc(2009, 5, 20, 12, 30, 9));
    EXPECT_EQ(Line("2009/05/20 12"), Utc(2009, 5, 20, 12, 0, 0));   // missing numbers are 0
    EXPECT_EQ(Line("2009/05 12:00:00"), -1);                          // day 0
    EXPECT_EQ(Line("2009/05/20"), -1);
    EXPECT_EQ(Line(""), -1);
    EXPECT_EQ(Line("date time"), -1);
    EXPECT_EQ(Line("99999999999999999999/1/1 0:0:0"), -1);
    EXPECT_EQ(Line("2009/05/20-" + std::string(40, 'x') + " 1:2:3"), Utc(2009, 5, 20, 1, 2, 3));
    EXPECT_EQ(Line("2009/05/20" + std::string(40, '9') + " 1:2:3"), -1);
    EXPECT_EQ(HeaderLineToSeconds(nullptr, 0), -1);
}

TEST(ListHeaderTimeTest, LengthBoundsTheLine) {
    std::string text = "2009/05/20 12:30:00";
    EXPECT_EQ(HeaderLineToSeconds(text.data(), 10), -1);  // the time is past the length
    std::string withNul("2009/05/20\0 12:30:00", 20);
    EXPECT_EQ(HeaderLineToSeconds(withNul.data(), withNul.size()), Utc(2009, 5, 20, 12, 30, 0));
}

}  // namespace
