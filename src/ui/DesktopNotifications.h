// DesktopNotifications tells the user about events worth knowing while the
// window is hidden, through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Where no service
// answers (no session bus, or none of its programs provides the service)
// the notice goes to the fallback instead: the tray icon's message balloon.
// The "Notifications" setting turns every notice off, and each kind goes out
// at most once per quiet time (NotificationThrottle). Window thread only;
// the bus call never blocks it: the answer, or its absence, arrives later.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

#include "core/CoreContext.h"
#include "ui/NotificationKind.h"
#include "ui/NotificationThrottle.h"

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    using Fallback = std::function<void(const QString& title, const QString& body)>;

    DesktopNotifications(CoreContext& ctx, Fallback fallback, QObject* parent = nullptr);

    // The bus the service is looked for on (the session bus by default) and
    // the clock of the rate limit; tests give their own.
    void UseBus(const QDBusConnection& bus) { bus_ = bus; }
    void UseClock(NotificationThrottle::Clock clock) { throttle_.SetClock(std::move(clock)); }

    // False when the setting is off or a notice of this kind went out
    // within the quiet time; otherwise sent, or handed to the fallback.
    bool Notify(NotificationKind kind, const QString& title, const QString& body);

private:
    void SendOverBus(const QString& title, const QString& body);

    CoreContext& ctx_;
    Fallback fallback_;
    QDBusConnection bus_;
    NotificationThrottle throttle_;
};
