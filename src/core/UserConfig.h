// UserConfig holds every tunable setting of the process, loaded once from
// "Quillomark.ini" at start-up. Other threads read its fields without a lock;
// only the window thread changes it, one 32-bit field or flag at a time, so a
// reader always sees a whole old or new value. Durations and sizes are held in
// milliseconds and bytes (the file gives seconds and units of 1000 bytes).
#pragma once

#include <cstdint>

inline constexpr int kConfigTextSize = 128;  // 127 characters and a terminator

struct UserConfig {
    int32_t PORT_SMTP;
    int32_t PORT_POP3;
    int32_t PORT_IMAP4;
    bool IS_OPEN_TUTORIAL;
    bool IS_MANUAL_DETECT;
    bool IS_PREFER_SSL;
    int32_t LOG_LVL;
    int32_t LOG_SIZE;
    int32_t LOG_REPORT_SIZE;
    int32_t DETECT_INTERVAL;
    char TEST_INTERNET_SERVER[kConfigTextSize];
    int32_t TEST_INTERNET_PORT;
    int32_t TEST_INTERNET_RETRY_NUM;
    int32_t TEST_INTERNET_RETRY_INTERVAL;
    int32_t DOWNLOAD_RETRY_INTERVAL;
    char DOWNLOAD_SERVER[kConfigTextSize];
    char DOWNLOAD_PATH[kConfigTextSize];
    char USER_NAME[kConfigTextSize];
    char LOGIN_NAME[kConfigTextSize];
    char LOGIN_PASS[kConfigTextSize];
    char MAIL_FROM[kConfigTextSize];
    char RCPT_TO[kConfigTextSize];
    char LOG_RCPT_TO[kConfigTextSize];
    char USER_MAIL[kConfigTextSize];
};
