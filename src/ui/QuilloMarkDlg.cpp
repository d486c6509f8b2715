#include "ui/QuilloMarkDlg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

#include "catalogue/ConnConfig.h"
#include "catalogue/ConnListEdit.h"
#include "catalogue/DetectHistory.h"
#include "catalogue/DetectResult.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "platform/Autostart.h"
#include "ui/AboutDlg.h"
#include "ui/DialogCommands.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgramIcon.h"
#include "ui/ProgressRows.h"
#include "ui/ScreenFit.h"
#include "ui/TrayIcons.h"

namespace {

constexpr int kColumnCount = 6;
// Each column's share of the list's width, in percent.
constexpr int kColumnShare[kColumnCount] = {15, 15, 15, 15, 15, 25};
constexpr const char* kColumnKeys[kColumnCount] = {
    "MSG_CAPTION_LISTCTRL_COL1", "MSG_CAPTION_LISTCTRL_COL2", "MSG_CAPTION_LISTCTRL_COL3",
    "MSG_CAPTION_LISTCTRL_COL4", "MSG_CAPTION_LISTCTRL_COL5", "MSG_CAPTION_LISTCTRL_COL6",
};
constexpr int kStatusPointSize = 14;
// 457 x 357 dialog units at the 9-point dialog font.
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

QString Text(AppContext& ctx, const char* key) {
    return QString::fromUtf8(GetMessageText(ctx, key));
}

// The pane shows plain lines; the callers' CR LF ends become single breaks.
QString PaneText(const std::string& text) {
    QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    shown.remove(QLatin1Char('\r'));
    return shown;
}

}  // namespace

QuilloMarkDlg::QuilloMarkDlg(AppContext& context, ServiceStarter& serviceStarter)
    : ctx(context), starter(serviceStarter),
      exitAction([] { QCoreApplication::exit(0); }),
      notifications(ctx, [this](const QString& title, const QString& body) {
          TrayIcon()->showMessage(title, body, QSystemTrayIcon::Information);
      }) {
    BuildLayout();
    ConnectCommands();
}

QuilloMarkDlg::~QuilloMarkDlg() {
    // The list's viewport sends events while the list is torn down.
    listViewport->removeEventFilter(this);
}

void QuilloMarkDlg::BuildLayout() {
    setWindowTitle(QString::fromUtf8(kWindowTitle));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    ResizeWithinScreen(*this, QSize(kWindowWidth, kWindowHeight));

    curLinkLine.setWordWrap(true);
    curLinkLine.setTextInteractionFlags(Qt::TextSelectableByMouse);
    menuButton.setText(QStringLiteral("\u2630"));
    menuButton.setPopupMode(QToolButton::InstantPopup);
    menuButton.setVisible(false);
    setupHint.setWordWrap(true);
    // In a row of its own below the current line, so that while it is hidden
    // the window keeps the layout it had without it.
    auto* setupRow = new QHBoxLayout(&setupArea);
    setupRow->setContentsMargins(0, 0, 0, 0);
    setupRow->addWidget(&setupHint, 1);
    setupRow->addWidget(&setupSettingsButton, 0, Qt::AlignTop);
    setupRow->addWidget(&setupImportButton, 0, Qt::AlignTop);
    auto* group = new QVBoxLayout(&curLinkGroup);
    auto* top = new QHBoxLayout;
    group->addLayout(top);
    group->addWidget(&setupArea);
    top->addWidget(&curLinkLine, 1);
    top->addWidget(&settingsButton, 0, Qt::AlignTop);
    top->addWidget(&hintButton, 0, Qt::AlignTop);
    top->addWidget(&menuButton, 0, Qt::AlignTop);

    connectionList.setColumnCount(kColumnCount);
    connectionList.setSelectionBehavior(QAbstractItemView::SelectRows);
    connectionList.setSelectionMode(QAbstractItemView::SingleSelection);
    connectionList.setEditTriggers(QAbstractItemView::NoEditTriggers);
    connectionList.setShowGrid(true);
    // Tab leaves the list for the next control, as in a list view.
    connectionList.setTabKeyNavigation(false);
    connectionList.verticalHeader()->setDefaultSectionSize(connectionList.fontMetrics().height() + 8);
    connectionList.verticalHeader()->setVisible(false);
    connectionList.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Narrower than its headings, the list scrolls rather than cut them.
    connectionList.setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The chosen row stays marked while another control has the focus.
    QPalette keep = connectionList.palette();
    keep.setColor(QPalette::Inactive, QPalette::Highlight,
                  keep.color(QPalette::Active, QPalette::Highlight));
    keep.setColor(QPalette::Inactive, QPalette::HighlightedText,
                  keep.color(QPalette::Active, QPalette::HighlightedText));
    connectionList.setPalette(keep);
    listViewport = connectionList.viewport();
    listViewport->installEventFilter(this);
    auto* commands = new QHBoxLayout;
    commands->addWidget(&autoDetectButton);
    commands->addWidget(&historyButton);
    commands->addWidget(&preferSslCheck);
    commands->addStretch(1);
    commands->addWidget(&autoSettingCheck);
    auto* apply = new QHBoxLayout;
    apply->addStretch(1);
    apply->addWidget(&manualSetButton);
    auto* middle = new QVBoxLayout(&allLinkGroup);
    middle->addLayout(commands);
    middle->addWidget(&connectionList, 1);
    middle->addLayout(apply);

    infoPane.setReadOnly(true);
    infoPane.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // One block per line plus the empty one after the last line break.
    infoPane.setMaximumBlockCount(kInfoPaneLines + 1);
    debugLevels.addButton(&debugDisable);
    debugLevels.addButton(&debugNormal);
    debugLevels.addButton(&debugDetail);
    auto* radios = new QHBoxLayout(&debugModeGroup);
    radios->addWidget(&debugDisable);
    radios->addWidget(&debugNormal);
    radios->addWidget(&debugDetail);
    auto* levels = new QHBoxLayout;
    levels->addWidget(&autostartCheck, 0, Qt::AlignBottom);
    levels->addStretch(1);
    levels->addWidget(&debugModeGroup);
    levels->addWidget(&reportButton, 0, Qt::AlignBottom);
    auto* bottom = new QVBoxLayout(&debugLogGroup);
    bottom->addWidget(&infoPane, 1);
    bottom->addLayout(levels);

    // Enter does nothing in the main window: no button is pressed by it.
    for (QPushButton* button : {&hintButton, &autoDetectButton, &historyButton, &manualSetButton,
                                 &reportButton, &settingsButton, &setupSettingsButton, &setupImportButton})
        button->setAutoDefault(false);

    // On a screen too small for the groups at their least, the window
    // scrolls instead of pushing the bottom row out of reach.
    auto* body = new QWidget;
    auto* groups = new QVBoxLayout(body);
    groups->addWidget(&curLinkGroup);
    groups->addWidget(&allLinkGroup, 3);
    groups->addWidget(&debugLogGroup, 3);
    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(0, 0, 0, 0);
    window->addWidget(ScrollingPage(body));
}

void QuilloMarkDlg::ConnectCommands() {
    connect(&autoDetectButton, &QPushButton::clicked, this, [this] { OnAutoDetect(); });
    connect(&historyButton, &QPushButton::clicked, this, [this] { OnHistory(); });
    // Also from the keyboard, as the button's caption is translated.
    auto* history = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(history, &QShortcut::activated, this, [this] { OnHistory(); });
    connect(&manualSetButton, &QPushButton::clicked, this, [this] { OnManualSet(); });
    connect(&autoSettingCheck, &QCheckBox::clicked, this, [this](bool on) { OnAutoSetting(on); });
    connect(&preferSslCheck, &QCheckBox::clicked, this, [this](bool on) { OnPreferSsl(on); });
    connect(&autostartCheck, &QCheckBox::clicked, this, [this](bool on) { OnAutostart(on); });
    connect(&debugDisable, &QRadioButton::clicked, this, [this](bool on) { OnDebugLevel(0, on); });
    connect(&debugNormal, &QRadioButton::clicked, this, [this](bool on) { OnDebugLevel(3, on); });
    connect(&debugDetail, &QRadioButton::clicked, this, [this](bool on) { OnDebugLevel(5, on); });
    connect(&hintButton, &QPushButton::clicked, this, [this] { OnShowHint(); });
    connect(&reportButton, &QPushButton::clicked, this, [this] { OnReport(); });
    connect(&settingsButton, &QPushButton::clicked, this, [this] { OnSettings(); });
    connect(&setupSettingsButton, &QPushButton::clicked, this, [this] { OnSettings(); });
    connect(&setupImportButton, &QPushButton::clicked, this, [this] { OnImport(); });
}

void QuilloMarkDlg::SetUpWindow() {
    setWindowIcon(ProgramIcon());
    QFont status = curLinkLine.font();
    status.setPointSize(kStatusPointSize);
    curLinkLine.setFont(status);
}

void QuilloMarkDlg::SetUpTrayAndControls() {
    ShowTrayStatus();
    SetTrayMenu(BuildTrayMenu());
    ShowTrayIcon();
    menuButton.setMenu(trayMenu);
    menuButton.setVisible(!TrayAvailable());
    InitConnectionList();
    SetCaptions();
    SetInitialStates();
    RefreshSetupHint();
    // A start behind the icon must not wait for anyone: the services start
    // at once and the tips wait for the Tips button.
    if (ctx.userConfig.IS_OPEN_TUTORIAL && !startHidden) ShowTutorial();
}

void QuilloMarkDlg::SetInitialStates() {
    const UserConfig& cfg = ctx.userConfig;
    manualSetButton.setEnabled(false);
    autoSettingCheck.setChecked(!cfg.IS_MANUAL_DETECT);
    autoSettingCheck.setEnabled(cfg.IS_MANUAL_DETECT);
    int32_t level = cfg.LOG_LVL;
    QRadioButton& chosen = level <= 0 ? debugDisable : level <= 3 ? debugNormal : debugDetail;
    chosen.setChecked(true);
    preferSslCheck.setChecked(cfg.IS_PREFER_SSL);
    autostartCheck.setChecked(IsAutostartEnabled(AutostartEntryPath(kDesktopAppId)));
}

QMenu* QuilloMarkDlg::BuildTrayMenu() {
    auto* menu = new QMenu(this);
    showAction = menu->addAction(Text(ctx, "MSG_CAPTION_MENU_SHOW"));
    aboutAction = menu->addAction(Text(ctx, "MSG_CAPTION_MENU_ITEM01"));
    settingsAction = menu->addAction(Text(ctx, "MSG_CAPTION_SETTINGS_BTN"));
    exitMenuAction = menu->addAction(Text(ctx, "MSG_CAPTION_MENU_ITEM02"));
    connect(showAction, &QAction::triggered, this, [this] { BringForward(); }, Qt::QueuedConnection);
    connect(settingsAction, &QAction::triggered, this, [this] { OnSettings(); }, Qt::QueuedConnection);
    connect(aboutAction, &QAction::triggered, this, [this] { OnAbout(); }, Qt::QueuedConnection);
    connect(exitMenuAction, &QAction::triggered, this, [this] { OnExit(); }, Qt::QueuedConnection);
    return menu;
}

void QuilloMarkDlg::SetTrayMenuCaptions() {
    showAction->setText(Text(ctx, "MSG_CAPTION_MENU_SHOW"));
    aboutAction->setText(Text(ctx, "MSG_CAPTION_MENU_ITEM01"));
    exitMenuAction->setText(Text(ctx, "MSG_CAPTION_MENU_ITEM02"));
}

void QuilloMarkDlg::OnTrayAvailabilityChanged(bool available) {
    menuButton.setVisible(!available);
}

void QuilloMarkDlg::InitConnectionList() {
    selectedRow = -1;
    QStringList captions;
    for (const char* key : kColumnKeys) captions << Text(ctx, key);
    connectionList.setHorizontalHeaderLabels(captions);
    SetColumnWidths();
}

// Each column its share of the width, but never less than its heading needs.
void QuilloMarkDlg::SetColumnWidths() {
    const int width = connectionList.viewport()->width();
    const QHeaderView* header = connectionList.horizontalHeader();
    for (int column = 0; column < kColumnCount; ++column)
        connectionList.setColumnWidth(column, std::max(width * kColumnShare[column] / 100,
                                                       header->sectionSizeHint(column)));
}

void QuilloMarkDlg::SetCaptions() {
    curLinkGroup.setTitle(Text(ctx, "MSG_CAPTION_CURLINK_GB"));
    curLinkLine.setText(Text(ctx, "MSG_CAPTION_CURLINK_START"));
    hintButton.setText(Text(ctx, "MSG_CAPTION_SHOWHINT_BTN"));
    allLinkGroup.setTitle(Text(ctx, "MSG_CAPTION_ALLLINK_GB"));
    autoDetectButton.setText(Text(ctx, "MSG_CAPTION_AUTODETECT_BTN"));
    historyButton.setText(Text(ctx, "MSG_CAPTION_HISTORY_BTN"));
    preferSslCheck.setText(Text(ctx, "MSG_CAPTION_PREFERSSL_CHK"));
    autoSettingCheck.setText(Text(ctx, "MSG_CAPTION_AUTOSETTING_CHK"));
    manualSetButton.setText(Text(ctx, "MSG_CAPTION_MANUALSET_BTN"));
    debugLogGroup.setTitle(Text(ctx, "MSG_CAPTION_DEBUGLOG_GB"));
    debugModeGroup.setTitle(Text(ctx, "MSG_CAPTION_DEBUGMODE_GB"));
    debugDisable.setText(Text(ctx, "MSG_CAPTION_DEBUG_DISABLE_RD"));
    debugNormal.setText(Text(ctx, "MSG_CAPTION_DEBUG_NORMAL_RD"));
    debugDetail.setText(Text(ctx, "MSG_CAPTION_DEBUG_DETAIL_RD"));
    reportButton.setText(Text(ctx, "MSG_CAPTION_REPORT_BTN"));
    autostartCheck.setText(Text(ctx, "MSG_CAPTION_AUTOSTART_CHK"));
    setupHint.setText(Text(ctx, "MSG_SETUP_HINT"));
    setupSettingsButton.setText(Text(ctx, "MSG_CAPTION_SETTINGS_BTN"));
    setupImportButton.setText(Text(ctx, "MSG_CAPTION_IMPORT_BTN"));
    settingsButton.setText(Text(ctx, "MSG_CAPTION_SETTINGS_BTN"));
}

void QuilloMarkDlg::FillRow(int row, const ProtocalInfo& record) {
    const QString cells[kColumnCount] = {
        record.LinkCost < 0 ? QStringLiteral("FAILD") : QString::number(record.LinkCost),
        QString::fromUtf8(record.Dest),
        QString::number(record.Port[SMTP]),
        QString::number(record.Port[POP3]),
        QString::number(record.Port[IMAP4]),
        QString::fromUtf8(record.Code),
    };
    for (int column = 0; column < kColumnCount; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        connectionList.setItem(row, column, item);
    }
}

void QuilloMarkDlg::RefreshConnectionList() {
    connectionList.setRowCount(0);
    displayedConnections.Clear();
    int32_t stamp = 0;
    // Whatever the reader delivered is shown, also after a read error.
    ReadDetectResult(ctx, stamp, displayedConnections, false);
    if (displayedConnections.Empty()) return;

    selectedRow = -1;
    connectionList.setRowCount(displayedConnections.Count());
    int row = 0;
    for (const ProtocalInfo& record : displayedConnections) {
        FillRow(row, record);
        if (manualChoice == record.Code) selectedRow = row;
        ++row;
    }
    if (!ctx.userConfig.IS_MANUAL_DETECT) return;
    connectionList.setFocus();
    if (selectedRow != -1) {
        connectionList.setCurrentCell(selectedRow, 0);
        connectionList.selectRow(selectedRow);
    }
    connectionList.viewport()->update();
}

void QuilloMarkDlg::RefreshCurrentConnection() {
    ProtocalInfo best = ctx.bestConnection.Get();
    QString line;
    if (best.LinkCost < 0) {
        line = QString::asprintf("%s  %s  %s  (SMTP:%d POP3:%d IMAP4:%d)", "FAILD", best.Code,
                                 best.Dest, best.Port[SMTP], best.Port[POP3], best.Port[IMAP4]);
    } else if (best.LinkCost == 0) {
        line = Text(ctx, "MSG_CAPTION_CURLINK_NOLINK");
    } else {
        line = QString::asprintf("%s  %s  (SMTP:%d POP3:%d IMAP4:%d)", best.Code, best.Dest,
                                 best.Port[SMTP], best.Port[POP3], best.Port[IMAP4]);
    }
    curLinkLine.setText(line);
}

// Like every call into the window, it runs on the window thread: workers'
// lines reach it through WindowNotifier, so the pane needs no lock.
void QuilloMarkDlg::AppendInfoLine(const std::string& text) {
    // An insert at the end costs the inserted text only; the pane drops its
    // oldest lines beyond its block limit, so a long run neither grows
    // without bound nor slows down.
    QTextCursor end(infoPane.document());
    end.movePosition(QTextCursor::End);
    end.insertText(PaneText(text));
    QScrollBar* bar = infoPane.verticalScrollBar();
    bar->setValue(bar->maximum());
}

void QuilloMarkDlg::OnDetectionStarted() {
    RefreshConnectionList();
    reportButton.setEnabled(false);
    trayState.RunStarted();
    ShowTrayStatus();
}

void QuilloMarkDlg::OnDetectionFinished() {
    RefreshConnectionList();
    RefreshCurrentConnection();
    reportButton.setEnabled(true);
    trayState.RunFinished(BestCost());
    ShowTrayStatus();
    RefreshHistory();
    RefreshSetupHint();
}

void QuilloMarkDlg::RefreshSetupHint() {
    ProtocalInfoList list;
    ReadConnConfig(ctx, kConnConfigName, list);
    bool passed = ctx.bestConnection.Get().LinkCost > 0;
    if (!passed && !OnlyPlaceholders(list)) {
        std::vector<HistoryRecord> history;
        ReadDetectHistory(ctx, history);
        for (const HistoryRecord& record : history) {
            if (record.LinkCost < 0) continue;
            for (const ProtocalInfo& row : list)
                passed = passed || (record.Code == row.Code && record.Dest == row.Dest);
        }
    }
    const bool fresh = OnlyPlaceholders(list) || !passed;
    setupArea.setVisible(fresh);
}

void QuilloMarkDlg::OnSettings() {
    WriteLog(ctx, UI, DUMP, "User opens the settings");
    if (settingsDialog == nullptr) {
        settingsDialog = new SettingsDialog(ctx, starter, this);
        settingsDialog->SetAppliedAction([this] { OnSettingsApplied(); });
    } else {
        settingsDialog->Reload();
    }
    settingsDialog->show();
    settingsDialog->raise();
    settingsDialog->activateWindow();
}

void QuilloMarkDlg::OnImport() {
    OnSettings();
    settingsDialog->ImportButton().click();
}

void QuilloMarkDlg::OnSettingsApplied() {
    RefreshConnectionList();
    RefreshCurrentConnection();
    RefreshSetupHint();
    if (settingsDialog != nullptr && settingsDialog->isVisible()) settingsDialog->Reload();
}

void QuilloMarkDlg::OnDetectionProgress(const DetectProgress& progress) {
    ShowProgress(connectionList, progress);
    trayState.RunProgress(progress);
}

void QuilloMarkDlg::OnCurrentLinkChanged() {
    RefreshCurrentConnection();
    trayState.ConnectionChanged(BestCost());
    ShowTrayStatus();
}

int32_t QuilloMarkDlg::BestCost() {
    return ctx.bestConnection.Get().LinkCost;
}

void QuilloMarkDlg::ShowTrayStatus() {
    SetTrayIcon(TrayIconFor(trayState.Status()));
    SetTrayTip(TrayTip());
    NotifyUsableChange(usableWatch.Observe(trayState.Status()));
}

// A lost connection says what happens next: in Auto Mode the next client or
// the timer starts a run that switches to whatever works; in Manual Mode
// nothing switches until the user does.
void QuilloMarkDlg::NotifyUsableChange(UsableChange change) {
    if (change == UsableChange::Lost) {
        const bool manual = ctx.userConfig.IS_MANUAL_DETECT;
        const int minutes = std::max(1, ctx.userConfig.DETECT_INTERVAL / 60000);
        QString body = manual ? Text(ctx, "MSG_NOTIFY_LOST_MANUAL_BODY")
                              : Text(ctx, "MSG_NOTIFY_LOST_AUTO_BODY").arg(minutes);
        notifications.Notify(NotificationKind::ConnectionLost, Text(ctx, "MSG_NOTIFY_LOST_TITLE"), body);
    } else if (change == UsableChange::Back) {
        const ProtocalInfo best = ctx.bestConnection.Get();
        QString where = QString::fromUtf8(best.Code) + QLatin1Char(' ') + QString::fromUtf8(best.Dest);
        notifications.Notify(NotificationKind::ConnectionBack, Text(ctx, "MSG_NOTIFY_BACK_TITLE"),
                             Text(ctx, "MSG_NOTIFY_BACK_BODY").arg(where).arg(best.LinkCost));
    }
}

void QuilloMarkDlg::OnCertificateRefused(const std::string& server, int32_t port) {
    QString where = QString::fromStdString(server) + QLatin1Char(':') + QString::number(port);
    notifications.Notify(NotificationKind::CertificateRefused, Text(ctx, "MSG_NOTIFY_CERT_TITLE"),
                         Text(ctx, "MSG_NOTIFY_CERT_BODY").arg(where));
}

void QuilloMarkDlg::OnConnectionListInstalled() {
    notifications.Notify(NotificationKind::ListInstalled, Text(ctx, "MSG_NOTIFY_LIST_TITLE"),
                         Text(ctx, "MSG_NOTIFY_LIST_BODY"));
}

// The window title, then what a look at the window would tell first: the
// connection in use with its speed, or that there is none.
QString QuilloMarkDlg::TrayTip() {
    const ProtocalInfo best = ctx.bestConnection.Get();
    QString state = Text(ctx, "MSG_TRAY_NO_CONNECTION");
    if (trayState.Status() != TrayStatus::NoConnection && best.LinkCost > 0)
        state = QStringLiteral("%1 %2 \u2014 %3 ms")
                    .arg(QString::fromUtf8(best.Code), QString::fromUtf8(best.Dest))
                    .arg(best.LinkCost);
    return QString::fromUtf8(kWindowTitle) + QLatin1Char('\n') + state;
}

void QuilloMarkDlg::OnHistory() {
    WriteLog(ctx, UI, DUMP, "User press History button");
    if (historyDialog == nullptr) historyDialog = new HistoryDialog(ctx, this);
    historyDialog->show();
    RefreshHistory();
    historyDialog->raise();
    historyDialog->activateWindow();
}

// An open history follows each run.
void QuilloMarkDlg::RefreshHistory() {
    if (historyDialog == nullptr || !historyDialog->isVisible()) return;
    std::vector<std::string> codes;
    for (const ProtocalInfo& record : displayedConnections) codes.emplace_back(record.Code);
    std::string inUse = ctx.bestConnection.Get().Code;
    historyDialog->Refresh(codes, inUse);
}

void QuilloMarkDlg::BringForward() {
    showNormal();
    raise();
    activateWindow();
}

void QuilloMarkDlg::reject() {
    HideToTray();
}

bool QuilloMarkDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == listViewport) {
        if (event->type() == QEvent::MouseButtonPress) OnListClicked();
        if (event->type() == QEvent::Resize) SetColumnWidths();
    }
    return TrayDialog::eventFilter(watched, event);
}

void QuilloMarkDlg::OnAutoDetect() {
    WriteLog(ctx, UI, MINOR, "User press Auto-Detect button");
    if (!starter.StartAutoDetect(ctx, DetectMode::OnDemand))
        WriteLog(ctx, DETECT, CRITICAL, "ERROR: try to start auto detect failed");
    WriteLog(ctx, UI, DUMP, "End of Press Auto Detect");
}

void QuilloMarkDlg::OnListClicked() {
    manualSetButton.setEnabled(true);
}

int32_t QuilloMarkDlg::SelectedListRow() const {
    const QModelIndexList rows = connectionList.selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void QuilloMarkDlg::OnManualSet() {
    WriteLog(ctx, UI, DUMP, "press Manual Set button");
    const int32_t row = SelectedListRow();
    if (row < 0 || row >= displayedConnections.Count()) {
        TellUser(ctx, this, "MSG_MANUAL_MODE_WITHOUT_SELECTION_MSGBOX_TITLE",
                 "MSG_MANUAL_MODE_WITHOUT_SELECTION_MSGBOX_BODY");
    } else {
        const ProtocalInfo record = *(displayedConnections.begin() + row);
        QString description = QString::asprintf(
            "%s\n%s\nSMTP:%d\nPOP3:%d\nIMAP4:%d", record.Code, record.Dest, record.Port[SMTP],
            record.Port[POP3], record.Port[IMAP4]);
        QString body = Text(ctx, "MSG_MANUAL_MODE_COMFIRM_MSGBOX_BODY") + "\n" + description;
        auto answer = AskUser(ctx, this, "MSG_MANUAL_MODE_COMFIRM_MSGBOX_TITLE", body,
                              QMessageBox::Ok | QMessageBox::Cancel);
        if (answer == QMessageBox::Cancel) {
            if (ctx.userConfig.IS_MANUAL_DETECT)
                TellUser(ctx, this, "MSG_MANUAL_MODE_CANCEL_MANUAL_MODE_MSGBOX_TITLE",
                         "MSG_MANUAL_MODE_CANCEL_MANUAL_MODE_MSGBOX_BODY");
            else
                TellUser(ctx, this, "MSG_MANUAL_MODE_CANCEL_AUTO_MODE_MSGBOX_TITLE",
                         "MSG_MANUAL_MODE_CANCEL_AUTO_MODE_MSGBOX_BODY");
        } else if (answer == QMessageBox::Ok) {
            ApplyChoice(record);
        }
    }
    RefreshConnectionList();
    manualSetButton.setEnabled(false);
    WriteLog(ctx, UI, DUMP, "End of Manual Set button");
}

void QuilloMarkDlg::ApplyChoice(const ProtocalInfo& record) {
    TellUser(ctx, this, "MSG_MANUAL_MODE_COMPLETE_MSGBOX_TITLE",
             "MSG_MANUAL_MODE_COMPLETE_MSGBOX_BODY");
    ProtocalInfoList chosen;
    chosen.PushBack(record);
    ctx.bestConnection.Set(record);
    trayState.ConnectionChanged(record.LinkCost);
    WriteDetectResult(ctx, chosen, true);
    RefreshCurrentConnection();
    autoSettingCheck.setChecked(false);
    autoSettingCheck.setEnabled(true);
    manualChoice = record.Code;
    ModifyUserConfig(ctx, "IS_MANUAL_DETECT", "1");
    // After the mode, so that a notice of a lost connection speaks of it.
    ShowTrayStatus();
    WriteLog(ctx, UI, MINOR, "User change to the manual-set mode, link = %s (%s)", record.Dest,
             record.Code);
}

void QuilloMarkDlg::OnAutoSetting(bool checked) {
    if (!checked) return;
    selectedRow = -1;
    ModifyUserConfig(ctx, "IS_MANUAL_DETECT", "0");
    TellUser(ctx, this, "MSG_ONAUTOSETTING_MSGBOX_TITLE", "MSG_ONAUTOSETTING_MSGBOX_BODY");
    autoSettingCheck.setEnabled(false);
    RefreshConnectionList();
    WriteLog(ctx, UI, MINOR, "User change to the auto-set mode");
}

void QuilloMarkDlg::OnPreferSsl(bool checked) {
    ModifyUserConfig(ctx, "IS_PREFER_SSL", checked ? "1" : "0");
    WriteLog(ctx, UI, MINOR, checked ? "User check prefer SSl" : "User unchecked prefer SSl");
}

void QuilloMarkDlg::OnAutostart(bool checked) {
    WriteLog(ctx, UI, MINOR, checked ? "User check start at login" : "User unchecked start at login");
    const std::string entry = AutostartEntryPath(kDesktopAppId);
    const PlatformResult result = checked ? EnableAutostart(entry, CurrentAutostartTarget())
                                          : DisableAutostart(entry);
    if (result != PlatformResult::Ok) {
        WriteLog(ctx, UI, MAJOR, "Failed to change the start at login entry %s, ret=%d",
                 entry.c_str(), CodeOf(result));
        TellUser(ctx, this, "", "MSG_AUTOSTART_FAIL");
    }
    autostartCheck.setChecked(IsAutostartEnabled(entry));
}

void QuilloMarkDlg::OnDebugLevel(int32_t level, bool checked) {
    if (!checked) return;
    // Written before the change, so it is kept only when the old level allowed it.
    const char* line = level == 0   ? "User change debug level to DISABLE"
                       : level == 3 ? "User change debug level to NORMAL"
                                    : "User change debug level to DETAIL";
    WriteLog(ctx, UI, MINOR, "%s", line);
    ModifyUserConfig(ctx, "LOG_LVL", std::to_string(level).c_str());
}

void QuilloMarkDlg::OnShowHint() {
    ShowTutorial();
}

void QuilloMarkDlg::ShowTutorial() {
    // At start the window is not shown yet and the tutorial has no owner.
    ShowHintCommand(ctx, isVisible() ? this : nullptr);
}

void QuilloMarkDlg::OnReport() {
    SendLogCommand(ctx, this);
}

void QuilloMarkDlg::OnAbout() {
    AboutDlg about(ctx, this);
    about.exec();
}

void QuilloMarkDlg::OnExit() {
    auto answer = AskUser(ctx, this, "MSG_ONLEAVE_MSGBOX_TITLE",
                          Text(ctx, "MSG_ONLEAVE_MSGBOX_BODY"),
                          QMessageBox::Ok | QMessageBox::Cancel);
    if (answer != QMessageBox::Ok) return;
    CloseServices(ctx);
    exitAction();
}
