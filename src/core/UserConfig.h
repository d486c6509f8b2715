// UserConfig holds every tunable setting of the process, loaded once from
// "Quillomark.ini" at start-up. The window thread changes single settings
// while every other thread reads them, so each setting that can change while
// the process runs is safe to read at any moment: numbers and flags are
// atomics (a reader sees a whole old or new value, and `cfg.LOG_LVL` still
// reads as a number), and the texts the window can change are ConfigText,
// read as a whole copy. The protected texts are filled only by the load,
// before any other thread starts, and never change afterwards. Durations and
// sizes are held in milliseconds and bytes (the file gives seconds and units
// of 1000 bytes).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/ConfigText.h"

using ConfigNumber = std::atomic<int32_t>;
using ConfigFlag = std::atomic<bool>;

struct UserConfig {
    ConfigNumber PORT_SMTP;
    ConfigNumber PORT_POP3;
    ConfigNumber PORT_IMAP4;
    // The implicit-TLS twins of the three ports; 0 leaves that one closed.
    ConfigNumber PORT_SMTPS;
    ConfigNumber PORT_POP3S;
    ConfigNumber PORT_IMAP4S;
    ConfigFlag IS_OPEN_TUTORIAL;
    ConfigFlag IS_MANUAL_DETECT;
    ConfigFlag IS_PREFER_SSL;
    ConfigNumber LOG_LVL;
    ConfigNumber LOG_SIZE;
    ConfigNumber LOG_REPORT_SIZE;
    ConfigNumber DETECT_INTERVAL;
    ConfigText TEST_INTERNET_SERVER;
    ConfigNumber TEST_INTERNET_PORT;
    ConfigNumber TEST_INTERNET_RETRY_NUM;
    ConfigNumber TEST_INTERNET_RETRY_INTERVAL;
    ConfigNumber DOWNLOAD_RETRY_INTERVAL;
    char DOWNLOAD_SERVER[kConfigTextSize];
    char DOWNLOAD_PATH[kConfigTextSize];
    char USER_NAME[kConfigTextSize];
    char LOGIN_NAME[kConfigTextSize];
    char LOGIN_PASS[kConfigTextSize];
    char MAIL_FROM[kConfigTextSize];
    char RCPT_TO[kConfigTextSize];
    char LOG_RCPT_TO[kConfigTextSize];
    ConfigText USER_MAIL;
    // The local address the proxy listeners bind; "0.0.0.0" is every address.
    ConfigText LISTEN_ADDRESS;
    // An organisation's CA file (PEM) trusted beside the system's CAs; empty for none.
    ConfigText TLS_CA_FILE;
    // The Ed25519 key (base64) that signs the published list; empty accepts
    // an unsigned list.
    ConfigText LIST_PUBLIC_KEY;
};
