#include "ui/TrayDialog.h"

#include <QCloseEvent>
#include <QCursor>

#include <cstdio>

namespace {

int trayAvailabilityOverride = -1;

// A notification area can come and go with the desktop's panel; this often is
// quick enough for a user who has just started one.
constexpr int kTrayWatchMs = 2000;

void Trace(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace

TrayDialog::TrayDialog(QWidget* parent) : QDialog(parent), trayIcon(this) {
    connect(&trayIcon, &QSystemTrayIcon::activated, this, &TrayDialog::OnActivated);
    trayWatch.setInterval(kTrayWatchMs);
    connect(&trayWatch, &QTimer::timeout, this, &TrayDialog::WatchTrayAvailability);
}

TrayDialog::~TrayDialog() {
    if (iconVisible) trayIcon.hide();
}

void TrayDialog::SetTrayAvailabilityForTest(int available) {
    trayAvailabilityOverride = available;
}

bool TrayDialog::TrayAvailable() {
    if (trayAvailabilityOverride >= 0) return trayAvailabilityOverride != 0;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayDialog::SetTrayIcon(const QIcon& icon) {
    if (icon.isNull()) {
        Trace("FAILED TO LOAD ICON\n");
        return;
    }
    trayIcon.setIcon(icon);
}

void TrayDialog::SetTrayTip(const QString& tip) {
    trayIcon.setToolTip(tip);
}

bool TrayDialog::SetTrayMenu(QMenu* menu) {
    if (menu == nullptr) return false;
    delete trayMenu;
    trayMenu = menu;
    trayMenu->setParent(this, trayMenu->windowFlags());
    connect(trayMenu, &QMenu::aboutToShow, this, [this] { SetTrayMenuCaptions(); });
    trayIcon.setContextMenu(trayMenu);
    const QList<QAction*> items = trayMenu->actions();
    if (defaultMenuItem >= 0 && defaultMenuItem < items.size())
        trayMenu->setDefaultAction(items[defaultMenuItem]);
    return true;
}

bool TrayDialog::ShowTrayIcon() {
    if (iconVisible) {
        Trace("ICON ALREADY VISIBLE\n");
        return false;
    }
    iconWanted = true;
    trayWasAvailable = TrayAvailable();
    trayWatch.start();
    if (!trayWasAvailable) return false;
    trayIcon.show();
    iconVisible = trayIcon.isVisible();
    return iconVisible;
}

bool TrayDialog::HideTrayIcon() {
    iconWanted = false;
    trayWatch.stop();
    if (!iconVisible) {
        Trace("ICON ALREADY HIDDEN\n");
        return false;
    }
    trayIcon.hide();
    iconVisible = false;
    return true;
}

bool TrayDialog::UpdateTrayIcon() {
    if (!iconVisible) {
        Trace("ICON NOT VISIBLE\n");
        return false;
    }
    // Qt pushes icon and tooltip changes to the area by itself.
    return true;
}

void TrayDialog::WatchTrayAvailability() {
    bool available = TrayAvailable();
    if (available == trayWasAvailable) return;
    trayWasAvailable = available;
    if (available && iconWanted && !iconVisible) {
        trayIcon.show();
        iconVisible = trayIcon.isVisible();
    } else if (!available) {
        iconVisible = false;
    }
    OnTrayAvailabilityChanged(available);
}

void TrayDialog::HideToTray() {
    if (!TrayAvailable()) {
        showMinimized();
        return;
    }
    ShowTrayIcon();
    hide();
}

void TrayDialog::closeEvent(QCloseEvent* event) {
    if (!hideOnClose) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    HideToTray();
}

void TrayDialog::ShowFromTray() {
    if (!hideOnClose) return;
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void TrayDialog::OnTrayLButtonDown(const QPoint&) {
    ShowFromTray();
}

void TrayDialog::OnTrayLButtonDblClk(const QPoint&) {
    ShowFromTray();
}

void TrayDialog::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    const QPoint at = QCursor::pos();
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        OnTrayLButtonDown(mapFromGlobal(at));
        break;
    case QSystemTrayIcon::DoubleClick:
        OnTrayLButtonDblClk(mapFromGlobal(at));
        break;
    case QSystemTrayIcon::Context:
        // The menu itself is popped up by the icon; this is the hook only.
        OnTrayRButtonDown(at);
        break;
    default:
        break;
    }
}
