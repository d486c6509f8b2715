#include "update/ListHeaderTime.h"

#include <cctype>
#include <climits>

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A blank-separated word of a line, cut to kHeaderTokenLimit characters.
struct HeaderToken {
    char text[kHeaderTokenLimit + 1] = {};
    bool present = false;
};

// Takes the next word from line[*at .. length) and moves *at past it.
HeaderToken NextToken(const char* line, std::size_t length, std::size_t* at) {
    HeaderToken token;
    std::size_t i = *at;
    while (i < length && IsBlank(line[i])) ++i;
    std::size_t kept = 0;
    while (i < length && !IsBlank(line[i])) {
        if (kept < kHeaderTokenLimit) token.text[kept++] = line[i];
        token.present = true;
        ++i;
    }
    *at = i;
    return token;
}

// One decimal number, sign allowed, at text; false when there is none. A
// value too large for 32 bits is held at the 32-bit limits, which the range
// check refuses anyway.
bool ReadNumber(const char** text, int32_t* value) {
    const char* p = *text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int64_t n = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
        if (n <= INT32_MAX) n = n * 10 + (*p - '0');
    if (n > INT32_MAX) n = INT32_MAX;
    *value = static_cast<int32_t>(negative ? -n : n);
    *text = p;
    return true;
}

// Up to three numbers separated by separator; those not read stay 0.
void ReadThree(const char* text, char separator, int32_t (&numbers)[3]) {
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*text != separator) return;
            ++text;
        }
        if (!ReadNumber(&text, &numbers[i])) return;
    }
}

}  // namespace

int32_t IsLeapYear(int32_t year) {
    if (year % 4 != 0) return 0;
    if (year % 400 == 0) return 1;
    return year % 100 == 0 ? 0 : 1;
}

int64_t HeaderToSeconds(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                        int32_t second) {
    if (year < 1970 || year > 2038 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return kNoListTime;
    int64_t days = 365 * static_cast<int64_t>(year - 1970);
    if (year >= 1971) days += leapDaysBefore[year - 1970];
    if (month >= 2) days += daysBeforeMonth[month - 1];
    days += day - 1;
    if (month > 2 && IsLeapYear(year) == 1) days += 1;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

int64_t HeaderLineToSeconds(const char* line, std::size_t length) {
    if (line == nullptr) return kNoListTime;
    std::size_t at = 0;
    HeaderToken date = NextToken(line, length, &at);
    HeaderToken time = NextToken(line, length, &at);
    if (!date.present || !time.present) return kNoListTime;
    int32_t ymd[3] = {};
    int32_t hms[3] = {};
    ReadThree(date.text, '/', ymd);
    ReadThree(time.text, ':', hms);
    return HeaderToSeconds(ymd[0], ymd[1], ymd[2], hms[0], hms[1], hms[2]);
}
