// NotificationKind names the events the desktop is told about, each of which
// is rate-limited on its own: one kind of news never holds back another.
#pragma once

#include <cstddef>

enum class NotificationKind {
    ConnectionLost = 0,      // the last usable connection stopped working
    ConnectionBack = 1,      // a usable connection again after one was lost
    CertificateRefused = 2,  // a server's certificate failed its check
    ListInstalled = 3,       // the update put a newer connection list in place
};

inline constexpr std::size_t kNotificationKindCount = 4;

const char* ToText(NotificationKind kind);
