#include "ui/NotificationKind.h"

const char* ToText(NotificationKind kind) {
    switch (kind) {
        case NotificationKind::ConnectionLost: return "ConnectionLost";
        case NotificationKind::ConnectionBack: return "ConnectionBack";
        case NotificationKind::CertificateRefused: return "CertificateRefused";
        case NotificationKind::ListInstalled: return "ListInstalled";
    }
    return "";
}
