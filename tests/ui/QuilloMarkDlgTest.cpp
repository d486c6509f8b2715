#include "ui/QuilloMarkDlg.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTest>

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "catalogue/DetectHistory.h"
#include "context/AppStartup.h"
#include "detect/AutoDetectThread.h"
#include "support/OutcomeText.h"
#include "ui/HintDialog.h"
#include "ui/TrayIcons.h"
#include "ui/TrayDialog.h"
#include "ui/WindowFixture.h"

namespace {

class QuilloMarkDlgTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        ctx.userConfig.LOG_LVL = 5;
        TrayDialog::SetTrayAvailabilityForTest(1);
    }
    void TearDown() override {
        TrayDialog::SetTrayAvailabilityForTest(-1);
        WindowFixture::TearDown();
    }

    // The window's steps of the start-up, in their order, then shown.
    QuilloMarkDlg& Open() {
        window = std::make_unique<QuilloMarkDlg>(ctx, starter);
        window->SetExitAction([this] { ++exits; });
        window->SetUpWindow();
        window->SetUpTrayAndControls();
        window->RefreshConnectionList();
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return *window;
    }

    void ClickRow(int row) {
        QTableWidget& list = window->ConnectionList();
        QRect cell = list.visualRect(list.model()->index(row, 0));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, cell.center());
    }

    std::vector<std::string> RowTexts(int row) {
        std::vector<std::string> cells;
        for (int c = 0; c < 6; ++c)
            cells.push_back(window->ConnectionList().item(row, c)->text().toStdString());
        return cells;
    }

    bool RowSelected(int row) {
        return window->ConnectionList().selectionModel()->isRowSelected(row, QModelIndex());
    }

    std::string Line() { return window->CurrentLinkLine().text().toStdString(); }

    std::unique_ptr<QuilloMarkDlg> window;
    int exits = 0;
};

TEST_F(QuilloMarkDlgTest, CaptionsColumnsAndRowsComeFromTheTableAndTheResultFile) {
    WriteResults({Record("fast", "10.0.0.1", 120, 25, 110, 143),
                  Record("dead", "10.0.0.2", -1, 2525, 2110, 2143)});
    QuilloMarkDlg& w = Open();

    EXPECT_EQ(w.windowTitle().toStdString(), "QuilloMark V2.0 beta");
    EXPECT_EQ(w.CurrentLinkGroup().title().toStdString(), "Current connection");
    EXPECT_EQ(w.AllLinkGroup().title().toStdString(), "Status of connections");
    EXPECT_EQ(w.DebugLogGroup().title().toStdString(), "Information");
    EXPECT_EQ(w.DebugModeGroup().title().toStdString(), "Debug mode");
    EXPECT_EQ(w.HintButton().text().toStdString(), "Tutorial");
    EXPECT_EQ(w.AutoDetectButton().text().toStdString(), "Re-detect");
    EXPECT_EQ(w.PreferSslCheck().text().toStdString(), "Enable SSL");
    EXPECT_EQ(w.AutoSettingCheck().text().toStdString(), "Auto Mode");
    EXPECT_EQ(w.ManualSetButton().text().toStdString(), "Apply");
    EXPECT_EQ(w.DebugDisableRadio().text().toStdString(), "Disabled");
    EXPECT_EQ(w.DebugNormalRadio().text().toStdString(), "Normal");
    EXPECT_EQ(w.DebugDetailRadio().text().toStdString(), "Detail");
    EXPECT_EQ(w.ReportButton().text().toStdString(), "Send log");
    EXPECT_EQ(Line(), MessageText("MSG_CAPTION_CURLINK_START"));
    EXPECT_EQ(w.CurrentLinkLine().font().pointSize(), 14);

    QTableWidget& list = w.ConnectionList();
    const char* headers[] = {"Speed(ms)", "IP", "SMTP port", "POP3 port", "IMAP4 port", "Remark"};
    ASSERT_EQ(list.columnCount(), 6);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(list.horizontalHeaderItem(c)->text().toStdString(), headers[c]);
    const int width = list.viewport()->width();
    for (int c = 0; c < 5; ++c) EXPECT_EQ(list.columnWidth(c), width * 15 / 100);
    EXPECT_EQ(list.columnWidth(5), width * 25 / 100);

    ASSERT_EQ(list.rowCount(), 2);
    EXPECT_EQ(RowTexts(0), (std::vector<std::string>{"120", "10.0.0.1", "25", "110", "143", "fast"}));
    EXPECT_EQ(RowTexts(1), (std::vector<std::string>{"FAILD", "10.0.0.2", "2525", "2110", "2143", "dead"}));
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_TRUE(list.showGrid());
}

TEST_F(QuilloMarkDlgTest, AMissingResultFileLeavesTheListEmpty) {
    QuilloMarkDlg& w = Open();
    EXPECT_EQ(w.ConnectionList().rowCount(), 0);
}

TEST_F(QuilloMarkDlgTest, InitialStatesFollowTheSettings) {
    struct Case {
        bool manual;
        int32_t level;
        bool ssl;
        QRadioButton& (QuilloMarkDlg::*radio)();
    };
    const Case cases[] = {
        {false, 4, true, &QuilloMarkDlg::DebugDetailRadio},
        {true, 2, false, &QuilloMarkDlg::DebugNormalRadio},
        {false, 0, false, &QuilloMarkDlg::DebugDisableRadio},
        {true, 5, true, &QuilloMarkDlg::DebugDetailRadio},
    };
    for (const Case& c : cases) {
        ctx.userConfig.IS_MANUAL_DETECT = c.manual;
        ctx.userConfig.LOG_LVL = c.level;
        ctx.userConfig.IS_PREFER_SSL = c.ssl;
        QuilloMarkDlg& w = Open();
        SCOPED_TRACE(c.level);
        EXPECT_FALSE(w.ManualSetButton().isEnabled());
        EXPECT_EQ(w.AutoSettingCheck().isChecked(), !c.manual);
        EXPECT_EQ(w.AutoSettingCheck().isEnabled(), c.manual);
        EXPECT_TRUE((w.*c.radio)().isChecked());
        EXPECT_EQ(w.PreferSslCheck().isChecked(), c.ssl);
        EXPECT_EQ(w.SelectedRow(), -1);
    }
}

TEST_F(QuilloMarkDlgTest, TheCurrentConnectionLineHasThreeForms) {
    QuilloMarkDlg& w = Open();
    ctx.bestConnection.Set(Record("Office", "mail.example.net", 120, 25, 110, 143));
    w.RefreshCurrentConnection();
    EXPECT_EQ(Line(), "Office  mail.example.net  (SMTP:25 POP3:110 IMAP4:143)");

    ctx.bestConnection.Set(Record("Backup", "10.1.1.1", -1, 587, 995, 993));
    w.RefreshCurrentConnection();
    EXPECT_EQ(Line(), "FAILD  Backup  10.1.1.1  (SMTP:587 POP3:995 IMAP4:993)");

    ctx.bestConnection.Set(Record("None", "x", 0));
    w.RefreshCurrentConnection();
    EXPECT_EQ(Line(), "No available connection for the mail service");
}

TEST_F(QuilloMarkDlgTest, ApplyWithoutARowSaysSoAndKeepsTheMode) {
    WriteResults({Record("fast", "10.0.0.1", 120)});
    QuilloMarkDlg& w = Open();
    w.OnListClicked();
    EXPECT_TRUE(w.ManualSetButton().isEnabled());
    AnswerBoxes({});
    w.ManualSetButton().click();

    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].title, "Please choose a connection");
    EXPECT_EQ(answered[0].text, "Please choose a connection");
    EXPECT_FALSE(ctx.userConfig.IS_MANUAL_DETECT);
    EXPECT_FALSE(w.ManualSetButton().isEnabled());
    std::string log = Log();
    EXPECT_NE(log.find("press Manual Set button"), std::string::npos);
    EXPECT_NE(log.find("End of Manual Set button"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, ConfirmingAFailedRowSetsManualModeWithIt) {
    WriteResults({Record("fast", "10.0.0.1", 120), Record("dead", "10.0.0.2", -1, 2525, 2110, 2143)});
    QuilloMarkDlg& w = Open();
    ClickRow(1);
    EXPECT_TRUE(w.ManualSetButton().isEnabled());
    AnswerBoxes({QMessageBox::Ok, QMessageBox::Ok});
    w.ManualSetButton().click();

    ASSERT_EQ(answered.size(), 2u);
    EXPECT_EQ(answered[0].title, "Manual Mode enabled");
    EXPECT_EQ(answered[0].text,
              "Use the Manual Mode with connection below:\ndead\n10.0.0.2\nSMTP:2525\nPOP3:2110\nIMAP4:2143");
    EXPECT_EQ(answered[1].text, "Manual setting enabled");
    EXPECT_EQ(Line().rfind("FAILD", 0), 0u) << Line();
    EXPECT_TRUE(ctx.userConfig.IS_MANUAL_DETECT);
    EXPECT_EQ(w.ManualChoice(), "dead");
    EXPECT_EQ(std::string(ctx.bestConnection.Get().Code), "dead");
    EXPECT_EQ(ctx.bestConnection.Get().LinkCost, -1);
    EXPECT_FALSE(w.AutoSettingCheck().isChecked());
    EXPECT_TRUE(w.AutoSettingCheck().isEnabled());
    EXPECT_FALSE(w.ManualSetButton().isEnabled());
    EXPECT_NE(dir.Read("manual_set.log").find("dead"), std::string::npos);
    // The refresh after Apply marks the chosen row in manual mode.
    EXPECT_EQ(w.SelectedRow(), 1);
    EXPECT_TRUE(RowSelected(1));
    EXPECT_NE(Log().find("User change to the manual-set mode, link = 10.0.0.2 (dead)"),
              std::string::npos);
}

TEST_F(QuilloMarkDlgTest, CancellingApplyKeepsTheModeAndTheConnection) {
    WriteResults({Record("fast", "10.0.0.1", 120), Record("slow", "10.0.0.2", 900)});
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual);
        ctx.userConfig.IS_MANUAL_DETECT = manual;
        ctx.bestConnection.Set(Record("fast", "10.0.0.1", 120));
        answered.clear();
        QuilloMarkDlg& w = Open();
        ClickRow(1);
        AnswerBoxes({QMessageBox::Cancel, QMessageBox::Ok});
        w.ManualSetButton().click();

        ASSERT_EQ(answered.size(), 2u);
        EXPECT_EQ(answered[1].title, "Manual setting cancelled");
        EXPECT_EQ(answered[1].text, manual ? "Manual setting cancelled, keep previous setting"
                                           : "Manual setting cancelled, keep Auto Mode");
        EXPECT_EQ(ctx.userConfig.IS_MANUAL_DETECT, manual);
        EXPECT_EQ(std::string(ctx.bestConnection.Get().Code), "fast");
        EXPECT_FALSE(w.ManualSetButton().isEnabled());
    }
}

TEST_F(QuilloMarkDlgTest, ARefreshInAutomaticModeDropsTheSelection) {
    WriteResults({Record("fast", "10.0.0.1", 120), Record("slow", "10.0.0.2", 900)});
    QuilloMarkDlg& w = Open();
    ClickRow(1);
    ASSERT_TRUE(RowSelected(1));
    w.OnDetectionStarted();
    EXPECT_FALSE(RowSelected(1));
    AnswerBoxes({});
    w.ManualSetButton().click();
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].text, "Please choose a connection");
}

TEST_F(QuilloMarkDlgTest, AutoModeFromManualChecksAndDisablesTheBox) {
    ctx.userConfig.IS_MANUAL_DETECT = true;
    WriteResults({Record("fast", "10.0.0.1", 120)});
    QuilloMarkDlg& w = Open();
    AnswerBoxes({});
    w.AutoSettingCheck().click();

    EXPECT_TRUE(w.AutoSettingCheck().isChecked());
    EXPECT_FALSE(w.AutoSettingCheck().isEnabled());
    EXPECT_FALSE(ctx.userConfig.IS_MANUAL_DETECT);
    EXPECT_EQ(w.SelectedRow(), -1);
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].title, "Auto Mode");
    EXPECT_EQ(answered[0].text, "Switch to Auto Mode");
    EXPECT_NE(Log().find("User change to the auto-set mode"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, EnableSslWritesTheSettingBothWays) {
    QuilloMarkDlg& w = Open();
    w.PreferSslCheck().click();
    EXPECT_TRUE(ctx.userConfig.IS_PREFER_SSL);
    w.PreferSslCheck().click();
    EXPECT_FALSE(ctx.userConfig.IS_PREFER_SSL);
    std::string log = Log();
    EXPECT_NE(log.find("User check prefer SSl"), std::string::npos);
    EXPECT_NE(log.find("User unchecked prefer SSl"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const std::string entry = "config/autostart/org.quillomark.QuilloMark.desktop";
    QuilloMarkDlg& w = Open();
    EXPECT_FALSE(w.AutostartCheck().isChecked());  // off until the user turns it on
    EXPECT_EQ(w.AutostartCheck().text().toStdString(), "Start at login");

    w.AutostartCheck().click();
    EXPECT_TRUE(w.AutostartCheck().isChecked());
    ASSERT_TRUE(dir.Exists(entry));
    // Started from a build tree: this program, in the directory it keeps its files in.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string text = dir.Read(entry);
    EXPECT_NE(text.find("\nPath=" + std::string(cwd) + "\n"), std::string::npos) << text;

    // A later start shows what the entry says.
    window.reset();
    EXPECT_TRUE(Open().AutostartCheck().isChecked());
    window->AutostartCheck().click();
    EXPECT_FALSE(window->AutostartCheck().isChecked());
    EXPECT_FALSE(dir.Exists(entry));
    std::string log = Log();
    EXPECT_NE(log.find("User check start at login"), std::string::npos);
    EXPECT_NE(log.find("User unchecked start at login"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, AnEntryThatCannotBeWrittenIsToldAndLeftUnchecked) {
    dir.Write("config", "a file where the directory should be");
    QuilloMarkDlg& w = Open();
    AnswerBoxes({});
    w.AutostartCheck().click();
    ASSERT_TRUE(Eventually([&] { return !answered.empty(); }));
    EXPECT_EQ(answered.front().text, "Cannot change the start at login entry");
    EXPECT_FALSE(w.AutostartCheck().isChecked());
    EXPECT_NE(Log().find("Failed to change the start at login entry"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, RadiosLogUnderTheOldThreshold) {
    QuilloMarkDlg& w = Open();
    w.DebugNormalRadio().click();
    EXPECT_EQ(ctx.userConfig.LOG_LVL, 3);
    w.DebugDisableRadio().click();
    EXPECT_EQ(ctx.userConfig.LOG_LVL, 0);
    std::string before = Log();
    EXPECT_NE(before.find("User change debug level to NORMAL"), std::string::npos);
    EXPECT_NE(before.find("User change debug level to DISABLE"), std::string::npos);

    // From "Disabled" the line of the change is not written at all.
    w.DebugDetailRadio().click();
    EXPECT_EQ(ctx.userConfig.LOG_LVL, 5);
    EXPECT_EQ(Log().find("User change debug level to DETAIL"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, ReDetectStartsARunOnDemandAndLogsAFailedStart) {
    QuilloMarkDlg& w = Open();
    w.AutoDetectButton().click();
    starter.startSucceeds = false;
    w.AutoDetectButton().click();
    EXPECT_EQ(starter.modes, (std::vector<DetectMode>{DetectMode::OnDemand, DetectMode::OnDemand}));
    std::string log = Log();
    EXPECT_NE(log.find("User press Auto-Detect button"), std::string::npos);
    EXPECT_NE(log.find("End of Press Auto Detect"), std::string::npos);
    EXPECT_NE(log.find("ERROR: try to start auto detect failed"), std::string::npos);
    EXPECT_TRUE(w.AutoDetectButton().isEnabled());
}

// Starts real detection runs on joinable threads, so a test can wait for them.
class ThreadStarter : public RecordingStarter {
public:
    bool StartAutoDetect(AppContext& ctx, DetectMode mode) override {
        RecordingStarter::StartAutoDetect(ctx, mode);
        runs.emplace_back(
            [this, &ctx, mode] { results.push_back(AutoDetectThread(ctx, DetectRequest{mode})); });
        return true;
    }
    std::vector<std::thread> runs;
    std::vector<DetectionResult> results;  // in the order the runs ended; read after a join
};

TEST_F(QuilloMarkDlgTest, ReDetectTwiceEndsTheSecondRunAtOnce) {
    // A web host that takes the connection but never answers holds the first
    // run in its Internet check until the socket goes away.
    int host = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(host, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(host, 4), 0);
    getsockname(host, reinterpret_cast<sockaddr*>(&address), &size);
    ctx.userConfig.TEST_INTERNET_SERVER.Set("127.0.0.1");
    ctx.userConfig.TEST_INTERNET_PORT = ntohs(address.sin_port);
    dir.Write("Quillomark.conf", "");

    ThreadStarter threads;
    QuilloMarkDlg dlg(ctx, threads);
    dlg.OnAutoDetect();
    ASSERT_TRUE(Eventually([&] { return ctx.detectRunning.Get(); }));
    dlg.OnAutoDetect();
    ASSERT_EQ(threads.runs.size(), 2u);
    // The second run returns while the first still waits for the web host.
    threads.runs[1].join();
    ASSERT_EQ(threads.results.size(), 1u);
    EXPECT_EQ(threads.results[0], DetectionResult::AlreadyRunning);
    shutdown(host, SHUT_RDWR);
    close(host);
    threads.runs[0].join();
    threads.runs.clear();
    EXPECT_EQ(threads.modes, (std::vector<DetectMode>{DetectMode::OnDemand, DetectMode::OnDemand}));
}

TEST_F(QuilloMarkDlgTest, DetectionRunsDisableAndEnableSendLog) {
    QuilloMarkDlg& w = Open();
    w.OnDetectionStarted();
    EXPECT_FALSE(w.ReportButton().isEnabled());
    ctx.bestConnection.Set(Record("Office", "h", 5));
    w.OnDetectionFinished();
    EXPECT_TRUE(w.ReportButton().isEnabled());
    EXPECT_EQ(Line(), "Office  h  (SMTP:25 POP3:110 IMAP4:143)");
}

TEST_F(QuilloMarkDlgTest, TutorialAndSendLogRunTheirDialogs) {
    QuilloMarkDlg& w = Open();
    // Closes whatever dialog or box waits for the user (Escape, Cancel).
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) modal->reject();
    });
    closer.start(20);
    w.HintButton().click();
    w.ReportButton().click();
    closer.stop();
    std::string log = Log();
    for (const char* line : {"Enter OnShowHint()", "Exit OnShowHint()", "Press Report botton",
                             "end of report botton"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_EQ(log.find("User report log by enter"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, EscapeHidesAndEnterDoesNothing) {
    QuilloMarkDlg& w = Open();
    w.InfoPane().setFocus();
    QTest::keyClick(&w, Qt::Key_Return);
    EXPECT_TRUE(w.isVisible());
    // Not even on a focused button (it would open a dialog and wait here).
    w.HintButton().setFocus();
    QTest::keyClick(&w.HintButton(), Qt::Key_Return);
    QTest::keyClick(&w.HintButton(), Qt::Key_Enter);
    EXPECT_EQ(Log().find("Enter OnShowHint()"), std::string::npos);
    w.HistoryButton().setFocus();
    QTest::keyClick(&w.HistoryButton(), Qt::Key_Return);
    EXPECT_EQ(w.History(), nullptr);
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(Log().find("close QuilloMark"), std::string::npos);
    w.BringForward();
    EXPECT_TRUE(w.isVisible());
}

TEST_F(QuilloMarkDlgTest, TheCloseBoxHidesBehindTheIcon) {
    QuilloMarkDlg& w = Open();
    EXPECT_FALSE(w.MenuButton().isVisible());
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(exits, 0);
}

TEST_F(QuilloMarkDlgTest, WithoutATrayCloseMinimisesAndExitStaysReachable) {
    TrayDialog::SetTrayAvailabilityForTest(0);
    QuilloMarkDlg& w = Open();
    ASSERT_TRUE(w.MenuButton().isVisible());
    w.close();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());

    QMenu* menu = w.MenuButton().menu();
    ASSERT_NE(menu, nullptr);
    // Show, About, Settings…, Exit.
    ASSERT_EQ(menu->actions().size(), 4);
    AnswerBoxes({QMessageBox::Cancel, QMessageBox::Ok});
    menu->actions()[3]->trigger();
    ASSERT_TRUE(Eventually([&] { return answered.size() == 1; }));
    EXPECT_EQ(answered[0].title, "Leave?");
    EXPECT_EQ(answered[0].text, "Are you sure to leave the QuilloMark?");
    EXPECT_EQ(exits, 0);

    menu->actions()[3]->trigger();
    ASSERT_TRUE(Eventually([&] { return exits == 1; }));
    EXPECT_NE(Log().find("close QuilloMark"), std::string::npos);
}

TEST_F(QuilloMarkDlgTest, TrayMenuShowsFirstAsDefaultAndTakesItsCaptionsAtEveryShowing) {
    QuilloMarkDlg& w = Open();
    QMenu* menu = w.TrayMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 4);
    EXPECT_EQ(menu->defaultAction(), menu->actions()[0]);
    EXPECT_EQ(menu->actions()[0]->text().toStdString(), "Show QuilloMark");

    dir.Write("message_EN.txt", "MSG_CAPTION_MENU_SHOW=\"Open\"\nMSG_CAPTION_MENU_ITEM01=\"Info\"\n"
                                "MSG_CAPTION_MENU_ITEM02=\"Quit\"\n");
    LoadMessageFile(ctx, dir.File("message_EN.txt"));
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(Eventually([&] { return menu->isVisible(); }));
    std::vector<std::string> captions;
    for (QAction* item : menu->actions()) captions.push_back(item->text().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"Open", "Info", "Settings…", "Quit"}));
    menu->hide();
    EXPECT_EQ(menu->defaultAction(), menu->actions()[0]);

    // Show brings the hidden window back.
    w.close();
    ASSERT_FALSE(w.isVisible());
    menu->actions()[0]->trigger();
    EXPECT_TRUE(Eventually([&] { return w.isVisible(); }));
}

TEST_F(QuilloMarkDlgTest, TheInformationPaneKeepsTheLast5000Lines) {
    QuilloMarkDlg& w = Open();
    for (int i = 0; i < 6000; ++i) w.AppendInfoLine("line " + std::to_string(i) + "\r\n");
    QString text = w.InfoPane().toPlainText();
    QStringList lines = text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 5001);  // and the empty one after the last break
    EXPECT_EQ(lines.first().toStdString(), "line 1000");
    EXPECT_EQ(lines[4999].toStdString(), "line 5999");
    EXPECT_FALSE(text.contains(QLatin1Char('\r')));
}

TEST_F(QuilloMarkDlgTest, PartialLinesJoinAsTheCallerWroteThem) {
    QuilloMarkDlg& w = Open();
    w.AppendInfoLine("SMTP > ");
    w.AppendInfoLine("EHLO\r\n");
    EXPECT_EQ(w.InfoPane().toPlainText().toStdString(), "SMTP > EHLO\n");
}

// Start-up's order with the tutorial: it is shown, and waited for, before the
// window appears and before any service starts.
class TutorialAtStartTest : public QuilloMarkDlgTest {
protected:
    void SetUp() override {
        QuilloMarkDlgTest::SetUp();
        char buffer[4096];
        previousDirectory = getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/";
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        dir.Write("hint_EN.txt", "tip\n");
    }
    void TearDown() override {
        if (chdir(previousDirectory.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previousDirectory;
        QuilloMarkDlgTest::TearDown();
    }

    // The whole start-up of a window on a fresh context, as the entry runs it.
    void Start(AppContext& context, RecordingStarter& services) {
        window = std::make_unique<QuilloMarkDlg>(context, services);
        InitialiseWindow(context, services, *window);
        window->show();
    }

    std::string previousDirectory;
};

TEST_F(TutorialAtStartTest, ShownBeforeTheWindowAndTheServicesAndDisabledForTheNextStart) {
    dir.Write("Quillomark.ini", "LOG_LVL=5\nIS_OPEN_TUTORIAL=1\n");
    bool windowVisible = true;
    std::size_t runsStarted = 99;
    WhenShown<HintDialog>([&](HintDialog* hint) {
        windowVisible = window->isVisible();
        runsStarted = starter.modes.size();
        hint->findChild<QCheckBox*>("disableTipsBox")->click();
        hint->findChild<QPushButton*>("okButton")->click();
    });
    Start(ctx, starter);
    EXPECT_FALSE(windowVisible);
    EXPECT_EQ(runsStarted, 0u);
    EXPECT_EQ(starter.modes.size(), 1u);  // the services started after it closed
    EXPECT_NE(dir.Read("Quillomark.ini").find("IS_OPEN_TUTORIAL=0\n"), std::string::npos);

    // The next start shows no tutorial.
    window.reset();
    AppContext next;
    RecordingStarter nextServices;
    bool shown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* hint = qobject_cast<HintDialog*>(QApplication::activeModalWidget())) {
            shown = true;
            hint->reject();
        }
    });
    watch.start(10);
    Start(next, nextServices);
    QTest::qWait(100);
    watch.stop();
    EXPECT_FALSE(shown);
    EXPECT_EQ(nextServices.modes.size(), 1u);
    window.reset();
}

TEST_F(QuilloMarkDlgTest, TutorialButtonShowsTheBoxCheckedWhileTheTipsAreOff) {
    dir.Write("Quillomark.ini", "IS_OPEN_TUTORIAL=0\n");
    dir.Write("hint_EN.txt", "tip\n");
    QuilloMarkDlg& w = Open();
    bool wasChecked = false;
    WhenShown<HintDialog>([&](HintDialog* hint) {
        auto* box = hint->findChild<QCheckBox*>("disableTipsBox");
        wasChecked = box->isChecked();
        box->click();
        hint->findChild<QPushButton*>("okButton")->click();
    });
    w.HintButton().click();
    EXPECT_TRUE(wasChecked);
    EXPECT_TRUE(ctx.userConfig.IS_OPEN_TUTORIAL);
    EXPECT_EQ(dir.Read("Quillomark.ini"), "IS_OPEN_TUTORIAL=1\n");
    std::string log = Log();
    std::size_t enter = log.find("[UI][DUMP] Enter OnShowHint()\n");
    EXPECT_NE(enter, std::string::npos);
    EXPECT_NE(log.find("[UI][DUMP] Exit OnShowHint()\n", enter), std::string::npos);
}

// The tray icon tells the state at a glance: nothing measured yet, a run at
// work, a connection in use, and a run in which every candidate failed.
TEST_F(QuilloMarkDlgTest, TheTrayIconFollowsRunsAndTheConnectionInUse) {
    QuilloMarkDlg& w = Open();
    auto shown = [&] { return w.TrayIcon()->icon().pixmap(16, 16).toImage(); };
    auto drawn = [](TrayStatus s) { return TrayIconFor(s).pixmap(16, 16).toImage(); };
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::NoConnection);
    EXPECT_EQ(shown(), drawn(TrayStatus::NoConnection));
    EXPECT_EQ(w.TrayIcon()->toolTip().toStdString(), "QuilloMark V2.0 beta\nNo usable connection");

    w.OnDetectionStarted();
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::Detecting);
    EXPECT_EQ(shown(), drawn(TrayStatus::Detecting));
    DetectProgress passed;
    passed.count = 1;
    passed.finished = true;
    passed.Code = "Office";
    passed.LinkCost = 120;
    w.OnDetectionProgress(passed);
    ctx.bestConnection.Set(Record("Office", "10.0.0.7", 120));
    w.OnDetectionFinished();
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::Connected);
    EXPECT_EQ(shown(), drawn(TrayStatus::Connected));
    EXPECT_EQ(w.TrayIcon()->toolTip().toStdString(), "QuilloMark V2.0 beta\nOffice 10.0.0.7 \u2014 120 ms");

    // Every candidate failed: the old best stays, the icon says no connection.
    w.OnDetectionStarted();
    passed.LinkCost = -1;
    w.OnDetectionProgress(passed);
    w.OnDetectionFinished();
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::NoConnection);
    EXPECT_EQ(shown(), drawn(TrayStatus::NoConnection));
    EXPECT_EQ(w.TrayIcon()->toolTip().toStdString(), "QuilloMark V2.0 beta\nNo usable connection");

    // A mail client got through after all.
    w.OnCurrentLinkChanged();
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::Connected);
    EXPECT_EQ(w.TrayIcon()->toolTip().toStdString(), "QuilloMark V2.0 beta\nOffice 10.0.0.7 \u2014 120 ms");
}

TEST_F(QuilloMarkDlgTest, ChoosingAFailedRowShowsNoConnection) {
    WriteResults({Record("Office", "h", 30), Record("Home", "h2", -1)});
    QuilloMarkDlg& w = Open();
    ctx.bestConnection.Set(Record("Office", "h", 30));
    w.OnCurrentLinkChanged();
    ASSERT_EQ(w.CurrentTrayStatus(), TrayStatus::Connected);
    AnswerBoxes({QMessageBox::Ok, QMessageBox::Ok});
    ClickRow(1);
    w.ManualSetButton().click();
    EXPECT_EQ(w.CurrentTrayStatus(), TrayStatus::NoConnection);
}

TEST_F(QuilloMarkDlgTest, HistoryOpensTheChartOfTheListedCandidates) {
    WriteResults({Record("Office", "h", 30), Record("Home", "h2", -1)});
    ProtocalInfoList run;
    run.PushBack(Record("Office", "h", 30));
    run.PushBack(Record("Home", "h2", -1));
    run.PushBack(Record("Gone", "h3", 10));
    ASSERT_EQ(AppendDetectHistory(ctx, run), CatalogueResult::Ok);
    QuilloMarkDlg& w = Open();
    ctx.bestConnection.Set(Record("Office", "h", 30));
    EXPECT_EQ(w.HistoryButton().text().toStdString(), "History");
    w.HistoryButton().click();
    ASSERT_NE(w.History(), nullptr);
    EXPECT_TRUE(w.History()->isVisible());
    const HistoryChartData& data = w.History()->Chart()->Data();
    ASSERT_EQ(data.series.size(), 2u);
    EXPECT_EQ(data.series[0].Code, "Office");
    EXPECT_TRUE(data.series[0].inUse);
    EXPECT_EQ(data.series[1].points.at(0).LinkCost, -1);

    // An open history follows the next run.
    ASSERT_EQ(AppendDetectHistory(ctx, run), CatalogueResult::Ok);
    w.OnDetectionStarted();
    w.OnDetectionFinished();
    EXPECT_EQ(w.History()->Chart()->Data().series[0].points.size(), 2u);
}

}  // namespace

namespace {

struct FreshInstall {
    const char* what;
    const char* list;     // "Quillomark.conf", nullptr: none
    const char* history;  // "detect_history.log"
    bool hintShown;
};

class SetupHintTest : public QuilloMarkDlgTest, public ::testing::WithParamInterface<FreshInstall> {};

TEST_P(SetupHintTest, ShowsWhatToDoUntilARealServerHasPassed) {
    const FreshInstall& c = GetParam();
    if (c.list != nullptr) dir.Write("Quillomark.conf", c.list);
    dir.Write("detect_history.log", c.history);
    QuilloMarkDlg& window = Open();
    EXPECT_EQ(window.SetupArea().isVisible(), c.hintShown);
    EXPECT_EQ(window.SetupHintLine().text().toStdString(),
              "No mail servers set up yet: open Settings, or import the files from your mail support");
    if (!c.hintShown) return;
    window.SetupSettingsButton().click();
    ASSERT_NE(window.Settings(), nullptr);
    EXPECT_TRUE(window.Settings()->isVisible());
    window.Settings()->hide();
}

const char* const kPlaceholders =
    "2026/01/01 00:00:00\nMAIL mail.example.com 25 110 143 example-plain\n"
    "MAIL-SSL mail.example.com 465 995 993 example-tls\n";
const char* const kRealList = "2026/01/01 00:00:00\nMAIL mx.mail.test 25 110 143 plain\n";

INSTANTIATE_TEST_SUITE_P(
    Lists, SetupHintTest,
    ::testing::Values(
        FreshInstall{"NoListAtAll", nullptr, "", true},
        FreshInstall{"ShippedPlaceholdersEvenIfTheyOncePassed", kPlaceholders,
                     "1700000000000 example-plain mail.example.com 120\n", true},
        FreshInstall{"RealServerNeverTried", kRealList, "", true},
        FreshInstall{"RealServerOnlyFailed", kRealList, "1700000000000 plain mx.mail.test -1\n", true},
        FreshInstall{"AnotherServerPassedOnce", kRealList, "1700000000000 plain other.mail.test 80\n", true},
        FreshInstall{"RealServerPassedOnce", kRealList,
                     "1700000000000 plain mx.mail.test -1\n1700000100000 plain mx.mail.test 80\n", false}),
    [](const ::testing::TestParamInfo<FreshInstall>& info) { return info.param.what; });

}  // namespace
