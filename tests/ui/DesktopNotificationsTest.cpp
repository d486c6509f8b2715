// The desktop notifications against a notification service of the test's
// own: a private session bus started with dbus-run-session, on which an
// object of this test takes the name org.freedesktop.Notifications and
// records every Notify call. Checks what is sent, the rate limit on a clock
// the test moves, the setting that turns notices off, the tray balloon where
// no service answers, and the window's four events.
#include "ui/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QVariantMap>

#include <atomic>

#include "ui/QuilloMarkDlg.h"
#include "ui/WindowFixture.h"
#include "ui/WindowNotifier.h"

namespace {

struct NotifyCall {
    QString app, icon, summary, body;
    QVariantMap hints;
    int timeout = 0;
};

class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public slots:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int timeout) {
        calls.push_back({app, icon, summary, body, hints, timeout});
        return static_cast<uint>(calls.size());
    }

public:
    std::vector<NotifyCall> calls;
};

// dbus-run-session keeps its bus while the shell's cat reads its input;
// closing that input ends both.
class PrivateSessionBus {
public:
    bool Start() {
        process_.start(QStringLiteral("dbus-run-session"),
                       {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat")});
        if (!process_.waitForStarted(10000)) return false;
        while (!process_.canReadLine())
            if (!process_.waitForReadyRead(10000)) return false;
        address_ = QString::fromUtf8(process_.readLine()).trimmed();
        return !address_.isEmpty();
    }
    ~PrivateSessionBus() {
        for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
        if (process_.state() == QProcess::NotRunning) return;
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    QDBusConnection Connect() {
        static std::atomic<int> count{0};
        names_.push_back(QStringLiteral("qm-test-%1").arg(++count));
        return QDBusConnection::connectToBus(address_, names_.back());
    }

private:
    QProcess process_;
    QString address_;
    std::vector<QString> names_;
};

class DesktopNotificationsTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-run-session")).isEmpty())
            GTEST_SKIP() << "dbus-run-session is not installed";
        ASSERT_TRUE(bus.Start());
        client = bus.Connect();
        ASSERT_TRUE(client.isConnected());
        ctx.userConfig.IS_SHOW_NOTIFICATIONS = true;
        ctx.userConfig.DETECT_INTERVAL = 14'400'000;
    }

    void OfferService() {
        QDBusConnection side = bus.Connect();
        ASSERT_TRUE(side.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                        QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(side.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }

    void Attach(DesktopNotifications& notices) {
        notices.UseBus(client);
        notices.UseClock([this] { return now; });
    }

    std::vector<QString> Summaries() const {
        std::vector<QString> all;
        for (const NotifyCall& call : service.calls) all.push_back(call.summary);
        return all;
    }

    PrivateSessionBus bus;
    QDBusConnection client{QString()};
    FakeNotificationService service;
    Deadline now = MonotonicClock::now();
    std::vector<std::pair<QString, QString>> balloons;
    DesktopNotifications::Fallback balloon = [this](const QString& t, const QString& b) {
        balloons.emplace_back(t, b);
    };
};

TEST_F(DesktopNotificationsTest, EachKindGoesOutOnceInTenMinutesWhileTheSettingAllows) {
    OfferService();
    DesktopNotifications notices(ctx, balloon);
    Attach(notices);
    ctx.userConfig.IS_SHOW_NOTIFICATIONS = false;
    EXPECT_FALSE(notices.Notify(NotificationKind::ConnectionLost, "Off", ""));
    ctx.userConfig.IS_SHOW_NOTIFICATIONS = true;  // what was off used up no limit
    EXPECT_TRUE(notices.Notify(NotificationKind::ConnectionLost, "Lost", "what happens next"));
    ASSERT_TRUE(Eventually([&] { return service.calls.size() == 1; }));
    const NotifyCall& first = service.calls[0];
    EXPECT_EQ(first.app, "QuilloMark");
    EXPECT_EQ(first.icon, "org.quillomark.QuilloMark");
    EXPECT_EQ(first.summary, "Lost");
    EXPECT_EQ(first.body, "what happens next");
    EXPECT_EQ(first.hints.value("desktop-entry").toString(), "org.quillomark.QuilloMark");
    EXPECT_EQ(first.timeout, -1);

    EXPECT_FALSE(notices.Notify(NotificationKind::ConnectionLost, "Lost again", ""));
    EXPECT_TRUE(notices.Notify(NotificationKind::ListInstalled, "List", "")) << "another kind is not held";
    now += kNotificationQuietTime - std::chrono::seconds(1);
    EXPECT_FALSE(notices.Notify(NotificationKind::ConnectionLost, "Lost too soon", ""));
    now += std::chrono::seconds(1);
    EXPECT_TRUE(notices.Notify(NotificationKind::ConnectionLost, "Lost later", ""));
    ASSERT_TRUE(Eventually([&] { return service.calls.size() == 3; }));
    EXPECT_EQ(Summaries(), (std::vector<QString>{"Lost", "List", "Lost later"}));
    EXPECT_TRUE(balloons.empty());
}

TEST_F(DesktopNotificationsTest, WithoutAServiceTheTrayBalloonServes) {
    DesktopNotifications notices(ctx, balloon);
    Attach(notices);
    EXPECT_TRUE(notices.Notify(NotificationKind::ConnectionBack, "Back", "through Office"));
    ASSERT_TRUE(Eventually([&] { return balloons.size() == 1; }));
    EXPECT_EQ(balloons[0], std::make_pair(QString("Back"), QString("through Office")));

    // No session bus at all.
    notices.UseBus(QDBusConnection(QStringLiteral("qm-test-no-such-bus")));
    EXPECT_TRUE(notices.Notify(NotificationKind::ListInstalled, "List", "new"));
    EXPECT_EQ(balloons.size(), 2u);
}

TEST_F(DesktopNotificationsTest, TheWindowTellsALossWhatComesNextTheRecoveryARefusalAndANewList) {
    OfferService();
    TrayDialog::SetTrayAvailabilityForTest(1);
    QuilloMarkDlg window(ctx, starter);
    window.SetUpWindow();
    window.SetUpTrayAndControls();
    Attach(window.Notifications());
    WindowNotifier notifier(ctx, window);

    ctx.bestConnection.Set(Record("Office", "10.0.0.7", 120));
    window.OnCurrentLinkChanged();  // the first usable connection is no news
    ctx.bestConnection.Set(Record("Office", "10.0.0.7", -1));
    window.OnCurrentLinkChanged();
    ctx.bestConnection.Set(Record("Office", "10.0.0.7", 120));
    window.OnCurrentLinkChanged();
    CertificateRefusal refusal;
    refusal.server = "mail.example.net";
    refusal.port = 995;
    notifier.CertificateRefused(refusal);
    notifier.ConnectionListInstalled();
    TrayDialog::SetTrayAvailabilityForTest(-1);

    ASSERT_TRUE(Eventually([&] { return service.calls.size() == 4; }));
    EXPECT_EQ(Summaries(), (std::vector<QString>{"No usable mail connection", "Mail connection ready",
                                                 "Certificate refused", "New connection list"}));
    EXPECT_TRUE(service.calls[0].body.contains("at the latest in 240 minutes")) << service.calls[0].body.toStdString();
    EXPECT_EQ(service.calls[1].body, "Mail goes through Office 10.0.0.7 again (120 ms).");
    EXPECT_TRUE(service.calls[2].body.contains("mail.example.net:995"));
}

}  // namespace

#include "DesktopNotificationsTest.moc"
