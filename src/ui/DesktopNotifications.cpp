#include "ui/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "core/WriteLog.h"
#include "platform/Autostart.h"

namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// The server's own default display time.
constexpr int kServerDefaultTimeout = -1;
// A service that does not answer within this long counts as none.
constexpr int kReplyLimitMs = 5000;
}  // namespace

DesktopNotifications::DesktopNotifications(CoreContext& ctx, Fallback fallback, QObject* parent)
    : QObject(parent), ctx_(ctx), fallback_(std::move(fallback)), bus_(QDBusConnection::sessionBus()) {}

bool DesktopNotifications::Notify(NotificationKind kind, const QString& title, const QString& body) {
    if (!ctx_.userConfig.IS_SHOW_NOTIFICATIONS) return false;
    if (!throttle_.Allow(kind)) {
        WriteLog(ctx_, UI, DUMP, "notification %s held back: one went out within 10 minutes", ToText(kind));
        return false;
    }
    WriteLog(ctx_, UI, PROCEDURE, "notification %s: %s", ToText(kind), title.toUtf8().constData());
    SendOverBus(title, body);
    return true;
}

void DesktopNotifications::SendOverBus(const QString& title, const QString& body) {
    if (!bus_.isConnected()) {
        if (fallback_) fallback_(title, body);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // The hint names the desktop entry, so the desktop shows the program's
    // own name and icon and groups its notices.
    QVariantMap hints{{QStringLiteral("desktop-entry"), QString::fromUtf8(kDesktopAppId)}};
    call << QStringLiteral("QuilloMark") << uint(0) << QString::fromUtf8(kDesktopAppId) << title << body
         << QStringList() << hints << kServerDefaultTimeout;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kReplyLimitMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, title, body](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<uint> reply = *done;
        if (!reply.isError()) return;
        WriteLog(ctx_, UI, MINOR, "no notification service (%s), using the tray icon",
                 reply.error().name().toUtf8().constData());
        if (fallback_) fallback_(title, body);
    });
}
