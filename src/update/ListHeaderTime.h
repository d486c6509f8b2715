// ListHeaderTime turns the date and time in the first line of a connection
// list ("2009/05/20 12:30:00") into one number, the seconds since 1970-01-01
// 00:00:00 on the same clock (no time zone applied), so that a downloaded
// list and the current file can be compared. -1 stands for a header that is
// missing or out of range. The value is 64 bits wide so that the dates of
// 2038 after 19 January, which the range check admits, still count forward.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kLeapDaysBeforeCount = 70;  // the years 1970 to 2039
// Entry i: the leap years among 1970 ... 1969 + i, which over this range is
// (i + 1) / 4.
inline constexpr int32_t leapDaysBefore[kLeapDaysBeforeCount] = {
    0,  0,  0,  1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,  4,  5,  5,  5,  5,  6,
    6,  6,  6,  7,  7,  7,  7,  8,  8,  8,  8,  9,  9,  9,  9,  10, 10, 10, 10, 11, 11, 11, 11, 12,
    12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 17, 17, 17,
};

// The days of a common year before the first of each month.
inline constexpr int32_t daysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

inline constexpr int64_t kNoListTime = -1;
// A header token longer than this is cut to it.
inline constexpr std::size_t kHeaderTokenLimit = 29;

// 1 for a leap year of the Gregorian calendar, else 0.
int32_t IsLeapYear(int32_t year);

// Seconds from 1970-01-01 00:00:00 to the given date and time, or -1 unless
// 1970 <= year <= 2038, month 1..12, day 1..31, hour 0..23, minute 0..59 and
// second 0..60. The day is not checked against its month's length.
int64_t HeaderToSeconds(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                        int32_t second);

// The seconds of a header line's first two blank-separated tokens, the date
// year/month/day and the time hour:minute:second (missing numbers count as
// 0); -1 when a token is missing or the values are out of range. line need
// not be terminated: length bytes are looked at.
int64_t HeaderLineToSeconds(const char* line, std::size_t length);
