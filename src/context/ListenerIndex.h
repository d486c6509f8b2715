// The proxy's listeners by number: one per protocol on its plain port, then
// one per protocol on its implicit-TLS port. A plain listener's number is
// its protocol. The number picks a listener's argument, its row of client
// slots and its port setting.
#pragma once

#include <cstdint>

#include "catalogue/ProtocalInfo.h"

inline constexpr int32_t kListenerCount = 2 * kProtocolCount;

constexpr int32_t ListenerIndex(int32_t protocol, bool tls) {
    return tls ? protocol + kProtocolCount : protocol;
}

// "SMTP", "POP3", "IMAP4", then "SMTPS", "POP3S", "IMAP4S"; "" for no listener.
constexpr const char* ListenerName(int32_t listener) {
    constexpr const char* kNames[kListenerCount] = {"SMTP", "POP3", "IMAP4", "SMTPS", "POP3S", "IMAP4S"};
    return listener >= 0 && listener < kListenerCount ? kNames[listener] : "";
}
