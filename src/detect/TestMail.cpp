#include "detect/TestMail.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void FormatMailDate(char* out, std::size_t size) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const char* day = (local.tm_wday >= 0 && local.tm_wday < 7) ? kDays[local.tm_wday] : "Sun";
    const char* month = (local.tm_mon >= 0 && local.tm_mon < 12) ? kMonths[local.tm_mon] : "Jan";
    std::snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d (%s)", day, local.tm_mday, month,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_zone != nullptr ? local.tm_zone : "");
}

std::size_t BuildTestMailHeader(char* out, std::size_t size, const char* sender) {
    if (out == nullptr || size == 0) return 0;
    if (sender == nullptr) sender = "";
    char date[96];
    FormatMailDate(date, sizeof date);
    std::snprintf(out, size,
                  "From: \"%s\" <%s>\r\nSubject: [KOVRA] SMTP TESTING!!!\r\nTo: %s\r\nDate: %s\r\n"
                  "MIME-Version: 1.0\r\nReturn-Path: %s\r\nContent-Type: text/plain\r\n\r\n\r\n",
                  sender, sender, sender, date, sender);
    return std::strlen(out);
}
