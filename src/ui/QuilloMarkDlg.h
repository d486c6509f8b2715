// QuilloMarkDlg is the main window, the program's only permanent one: the
// connection the proxy uses now, the ranked candidate list with speed and
// ports and the commands on it (Re-detect, Enable SSL, Auto Mode, Apply), and
// the information pane where detections, probes and proxy sessions trace
// themselves, with the log level and the Send log command below it. It is
// also the front end of the start-up sequence (WindowHooks) and handles the
// tray menu's Show, About, Settings… and Exit. Every operation runs on the
// window thread; other threads reach it only through WindowNotifier.
#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QToolButton>

#include <cstdint>
#include <functional>
#include <string>

#include "catalogue/ProtocalInfoList.h"
#include "context/AppContext.h"
#include "context/AppServices.h"
#include "context/AppStartup.h"
#include "core/DetectProgress.h"
#include "ui/DesktopNotifications.h"
#include "ui/HistoryDialog.h"
#include "ui/SettingsDialog.h"
#include "ui/TrayDialog.h"
#include "ui/TrayState.h"
#include "ui/UsableConnectionWatch.h"

// The information pane keeps this many of the most recent lines.
inline constexpr int kInfoPaneLines = 5000;

class QuilloMarkDlg : public TrayDialog, public WindowHooks {
    Q_OBJECT
public:
    // starter starts the detection runs the window's commands ask for.
    QuilloMarkDlg(AppContext& ctx, ServiceStarter& starter);
    ~QuilloMarkDlg() override;

    // What a confirmed Exit does once the services are closed; the entry
    // ends the process here.
    void SetExitAction(std::function<void()> action) { exitAction = std::move(action); }

    // WindowHooks: the window's steps of the start-up sequence.
    void SetUpWindow() override;
    void SetUpTrayAndControls() override;
    void RefreshConnectionList() override;

    void InitConnectionList();
    void SetCaptions();
    void RefreshCurrentConnection();
    void AppendInfoLine(const std::string& text);
    void OnDetectionStarted();
    void OnDetectionFinished();
    // A candidate's probes start or end: its row shows it at once.
    void OnDetectionProgress(const DetectProgress& progress);
    // The proxy chose a server: the current line and the tray icon follow.
    void OnCurrentLinkChanged();
    // A server's certificate was refused; the user hears of it on the desktop.
    void OnCertificateRefused(const std::string& server, int32_t port);
    // The update put a newer connection list in place.
    void OnConnectionListInstalled();
    // Opens the speed history for the candidates the list shows.
    void OnHistory();
    // A later start of the program asks for the window: shown, restored and
    // in front, also when it was hidden behind the icon.
    void BringForward();

    // A start behind the icon (--hidden): neither the window nor the tips.
    void SetStartHidden(bool hidden) { startHidden = hidden; }
    // The settings or the list changed (Apply, or an import from a later
    // copy): the list, the current line and the fresh-install hint follow.
    void OnSettingsApplied();
    // Shows what to do next while no server is set up: the list holds only
    // the shipped placeholders, or none of its servers ever passed.
    void RefreshSetupHint();
    void OnSettings();
    void OnImport();

    // The commands, one per control or menu item.
    void OnAutoDetect();
    void OnListClicked();
    void OnManualSet();
    void OnAutoSetting(bool checked);
    void OnPreferSsl(bool checked);
    void OnDebugLevel(int32_t level, bool checked);
    // Turns the start-at-login entry on or off; the check box shows what the
    // entry's file says afterwards, also when it could not be changed.
    void OnAutostart(bool checked);
    void OnShowHint();
    void OnReport();
    // The tutorial, shown and waited for: at start when IS_OPEN_TUTORIAL is
    // set (before the window shows and the services start), and by OnShowHint.
    void ShowTutorial();
    void OnAbout();
    void OnExit();

    // The controls, for the tests that drive the window.
    QLabel& CurrentLinkLine() { return curLinkLine; }
    QLabel& SetupHintLine() { return setupHint; }
    QWidget& SetupArea() { return setupArea; }
    QPushButton& SettingsButton() { return settingsButton; }
    QPushButton& SetupSettingsButton() { return setupSettingsButton; }
    QPushButton& SetupImportButton() { return setupImportButton; }
    SettingsDialog* Settings() { return settingsDialog; }
    QPushButton& HintButton() { return hintButton; }
    QToolButton& MenuButton() { return menuButton; }
    QPushButton& AutoDetectButton() { return autoDetectButton; }
    QPushButton& HistoryButton() { return historyButton; }
    HistoryDialog* History() { return historyDialog; }
    TrayStatus CurrentTrayStatus() const { return trayState.Status(); }
    DesktopNotifications& Notifications() { return notifications; }
    QCheckBox& PreferSslCheck() { return preferSslCheck; }
    QCheckBox& AutoSettingCheck() { return autoSettingCheck; }
    QCheckBox& AutostartCheck() { return autostartCheck; }
    QTableWidget& ConnectionList() { return connectionList; }
    QPushButton& ManualSetButton() { return manualSetButton; }
    QPlainTextEdit& InfoPane() { return infoPane; }
    QRadioButton& DebugDisableRadio() { return debugDisable; }
    QRadioButton& DebugNormalRadio() { return debugNormal; }
    QRadioButton& DebugDetailRadio() { return debugDetail; }
    QPushButton& ReportButton() { return reportButton; }
    QGroupBox& CurrentLinkGroup() { return curLinkGroup; }
    QGroupBox& AllLinkGroup() { return allLinkGroup; }
    QGroupBox& DebugLogGroup() { return debugLogGroup; }
    QGroupBox& DebugModeGroup() { return debugModeGroup; }
    int32_t SelectedRow() const { return selectedRow; }
    const std::string& ManualChoice() const { return manualChoice; }

public slots:
    // Escape hides the window as its close box does; a dialog's default end
    // would drop every mail session without the Exit question.
    void reject() override;
    // Enter with no push button focused does nothing.
    void accept() override {}

protected:
    void SetTrayMenuCaptions() override;
    void OnTrayAvailabilityChanged(bool available) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildLayout();
    void ConnectCommands();
    void SetInitialStates();
    QMenu* BuildTrayMenu();
    void SetColumnWidths();
    int32_t SelectedListRow() const;
    void FillRow(int row, const ProtocalInfo& record);
    void ApplyChoice(const ProtocalInfo& record);
    int32_t BestCost();
    void ShowTrayStatus();
    QString TrayTip();
    void NotifyUsableChange(UsableChange change);
    void RefreshHistory();

    AppContext& ctx;
    ServiceStarter& starter;
    std::function<void()> exitAction;

    QGroupBox curLinkGroup;
    QLabel curLinkLine;
    QWidget setupArea;  // before its children, which must go first
    QLabel setupHint;
    QPushButton setupSettingsButton;
    QPushButton setupImportButton;
    QPushButton settingsButton;
    QPushButton hintButton;
    QToolButton menuButton;
    QGroupBox allLinkGroup;
    QPushButton autoDetectButton;
    QPushButton historyButton;
    QCheckBox preferSslCheck;
    QCheckBox autoSettingCheck;
    QTableWidget connectionList;
    QWidget* listViewport = nullptr;  // watched for clicks and resizes
    QPushButton manualSetButton;
    QGroupBox debugLogGroup;
    QPlainTextEdit infoPane;
    QGroupBox debugModeGroup;
    QRadioButton debugDisable;
    QRadioButton debugNormal;
    QRadioButton debugDetail;
    QButtonGroup debugLevels;
    QPushButton reportButton;
    QCheckBox autostartCheck;  // after its group, which must outlive it
    QAction* showAction = nullptr;
    QAction* aboutAction = nullptr;
    QAction* exitMenuAction = nullptr;
    QAction* settingsAction = nullptr;
    bool startHidden = false;
    SettingsDialog* settingsDialog = nullptr;  // made at its first opening

    ProtocalInfoList displayedConnections;
    int32_t selectedRow = -1;
    std::string manualChoice;
    TrayState trayState;
    UsableConnectionWatch usableWatch;
    DesktopNotifications notifications;
    HistoryDialog* historyDialog = nullptr;  // made at its first opening
};
