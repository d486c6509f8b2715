#include "ui/WindowNotifier.h"

#include <QMessageBox>

#include <thread>

#include "ui/WindowFixture.h"

namespace {

class WindowNotifierTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        window = std::make_unique<QuilloMarkDlg>(ctx, starter);
        notifier = std::make_unique<WindowNotifier>(ctx, *window);
    }
    void TearDown() override {
        notifier.reset();
        window.reset();
        WindowFixture::TearDown();
    }

    std::vector<QMessageBox*> VisibleBoxes() {
        std::vector<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible())
                boxes.push_back(box);
        return boxes;
    }

    std::unique_ptr<QuilloMarkDlg> window;
    std::unique_ptr<WindowNotifier> notifier;
};

TEST_F(WindowNotifierTest, LinesFromTwoThreadsNeverInterleave) {
    const std::string a = std::string(300, 'a') + "\r\n";
    const std::string b = std::string(300, 'b') + "\r\n";
    std::thread first([&] { for (int i = 0; i < 400; ++i) notifier->PostInfoLine(a); });
    std::thread second([&] { for (int i = 0; i < 400; ++i) notifier->PostInfoLine(b); });
    first.join();
    second.join();
    ASSERT_TRUE(Eventually([&] { return window->InfoPane().blockCount() == 801; }));
    const QStringList lines = window->InfoPane().toPlainText().split(QLatin1Char('\n'));
    for (int i = 0; i < 800; ++i) {
        const QString& line = lines[i];
        ASSERT_TRUE(line == QString(300, QLatin1Char('a')) || line == QString(300, QLatin1Char('b')))
            << "line " << i;
    }
}

TEST_F(WindowNotifierTest, TheWindowThreadAppendsAtOnce) {
    notifier->PostInfoLine("now\r\n");
    EXPECT_EQ(window->InfoPane().toPlainText().toStdString(), "now\n");
}

TEST_F(WindowNotifierTest, DetectionRequestsReachTheWindowThread) {
    ctx.bestConnection.Set(Record("Office", "h", 7));
    std::thread([&] { notifier->DetectionStarted(); }).join();
    ASSERT_TRUE(Eventually([&] { return !window->ReportButton().isEnabled(); }));
    std::thread([&] { notifier->DetectionFinished(); }).join();
    ASSERT_TRUE(Eventually([&] { return window->ReportButton().isEnabled(); }));
    EXPECT_EQ(window->CurrentLinkLine().text().toStdString(), "Office  h  (SMTP:25 POP3:110 IMAP4:143)");

    ctx.bestConnection.Set(Record("Other", "k", 9));
    std::thread([&] { notifier->CurrentLinkChanged(); }).join();
    ASSERT_TRUE(Eventually([&] {
        return window->CurrentLinkLine().text().startsWith(QStringLiteral("Other"));
    }));
}

TEST_F(WindowNotifierTest, WorkersWaitForOneSharedBoxWhileTheWindowStaysUsable) {
    std::atomic<int> returned{0};
    auto ask = [&] {
        notifier->ShowMessageBox("MSG_ONAUTOSETTING_MSGBOX_TITLE", "MSG_ONAUTOSETTING_MSGBOX_BODY");
        ++returned;
    };
    std::thread first(ask);
    ASSERT_TRUE(Eventually([&] { return VisibleBoxes().size() == 1; }));
    std::thread second(ask);
    // The second worker must be waiting for the same box before it is closed.
    ASSERT_TRUE(Eventually([&] { return notifier->WaitingWorkerCount() == 2; }));
    EXPECT_EQ(notifier->OpenBoxCount(), 1);

    // The window thread keeps serving requests while the box is up.
    std::thread([&] { notifier->PostInfoLine("still alive\r\n"); }).join();
    ASSERT_TRUE(Eventually([&] { return window->InfoPane().toPlainText().contains("still alive"); }));
    QApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(VisibleBoxes().size(), 1u);
    EXPECT_EQ(returned.load(), 0);
    QMessageBox* box = VisibleBoxes().front();
    EXPECT_EQ(box->windowTitle().toStdString(), "Auto Mode");
    EXPECT_EQ(box->text().toStdString(), "Switch to Auto Mode");
    EXPECT_NE(box->windowModality(), Qt::ApplicationModal);

    box->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(Eventually([&] { return returned.load() == 2; }));
    first.join();
    second.join();
    EXPECT_EQ(notifier->OpenBoxCount(), 0);
}

TEST_F(WindowNotifierTest, DifferentBoxesAreShownSideBySide) {
    std::thread first([&] { notifier->ShowMessageBox("", "MSG_ONAUTOSETTING_MSGBOX_BODY"); });
    std::thread second([&] { notifier->ShowMessageBox("", "MSG_ONLEAVE_MSGBOX_BODY"); });
    ASSERT_TRUE(Eventually([&] { return VisibleBoxes().size() == 2; }));
    for (QMessageBox* box : VisibleBoxes()) {
        EXPECT_EQ(box->windowTitle().toStdString(), "QuilloMark");
        box->button(QMessageBox::Ok)->click();
    }
    first.join();
    second.join();
}

}  // namespace
