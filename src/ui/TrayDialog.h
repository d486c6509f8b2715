// TrayDialog is the dialog base that gives a window its icon in the
// notification area: the icon with its tooltip, the menu that pops up from it,
// and a close box that hides the window behind the icon instead of ending it.
// The main window and the About box derive from it; the About box turns the
// hiding off. A single click on the icon brings a hidden window back as a
// double-click does: desktops that host icons over D-Bus send only the one
// "activate" of a single click. Where the desktop has no notification area, hiding would leave
// the window unreachable, so the close box then minimises instead, and the
// icon is added as soon as an area appears.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>

class TrayDialog : public QDialog {
    Q_OBJECT
public:
    explicit TrayDialog(QWidget* parent = nullptr);
    TrayDialog(const TrayDialog&) = delete;
    TrayDialog& operator=(const TrayDialog&) = delete;
    ~TrayDialog() override;

    void SetTrayIcon(const QIcon& icon);
    // tip: one or more lines; the first names the program.
    void SetTrayTip(const QString& tip);
    // Takes ownership of the menu whose actions pop up from the icon; its
    // item at defaultMenuItem is drawn as the default.
    bool SetTrayMenu(QMenu* menu);
    bool ShowTrayIcon();
    bool HideTrayIcon();
    bool UpdateTrayIcon();
    void SetHideOnClose(bool hide) { hideOnClose = hide; }

    bool IsIconVisible() const { return iconVisible; }
    QMenu* TrayMenu() const { return trayMenu; }
    QSystemTrayIcon* TrayIcon() { return &trayIcon; }

    // Whether the desktop offers a notification area right now; a test may
    // replace the answer to act out a desktop without one.
    static void SetTrayAvailabilityForTest(int available);  // -1: ask the desktop
    static bool TrayAvailable();

    // What the close box does: hide behind the icon, or minimise when there
    // is no notification area to come back from.
    void HideToTray();

protected:
    // The icon's mouse events, each with the cursor position.
    virtual void OnTrayLButtonDown(const QPoint&);
    virtual void OnTrayLButtonDblClk(const QPoint&);
    virtual void OnTrayRButtonDown(const QPoint&) {}
    virtual void OnTrayRButtonDblClk(const QPoint&) {}
    virtual void OnTrayMouseMove(const QPoint&) {}
    // Runs right before every showing of the tray menu.
    virtual void SetTrayMenuCaptions() {}
    // The notification area appeared or went away.
    virtual void OnTrayAvailabilityChanged(bool) {}

    void closeEvent(QCloseEvent* event) override;
    // A window hidden behind the icon (or minimised) shown, raised and
    // given the focus; a dialog that closes normally has nothing to show.
    void ShowFromTray();

    bool hideOnClose = true;
    bool iconVisible = false;
    QMenu* trayMenu = nullptr;
    int defaultMenuItem = 0;

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void WatchTrayAvailability();

    QSystemTrayIcon trayIcon;
    QTimer trayWatch;
    bool trayWasAvailable = false;
    bool iconWanted = false;
};
