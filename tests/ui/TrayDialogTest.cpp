#include "ui/TrayDialog.h"

#include <QTest>

#include <sstream>

#include "ui/ProgramIcon.h"
#include "ui/WindowFixture.h"

namespace {

class TrayDialogTest : public WindowFixture {
protected:
    void TearDown() override {
        TrayDialog::SetTrayAvailabilityForTest(-1);
        WindowFixture::TearDown();
    }
};

// A D-Bus tray host sends only the single click's Trigger; an XEmbed one
// may send the double-click: either brings the window back.
class TrayActivationTest : public TrayDialogTest,
                           public testing::WithParamInterface<QSystemTrayIcon::ActivationReason> {};

TEST_P(TrayActivationTest, CloseHidesBehindTheIconAndAClickShowsItAgain) {
    TrayDialog::SetTrayAvailabilityForTest(1);
    TrayDialog dialog;
    dialog.SetTrayIcon(ProgramIcon());
    dialog.show();
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(dialog.IsIconVisible());
    emit dialog.TrayIcon()->activated(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(dialog.isVisible());

    emit dialog.TrayIcon()->activated(GetParam());
    EXPECT_TRUE(dialog.isVisible());
    dialog.showMinimized();
    emit dialog.TrayIcon()->activated(GetParam());
    EXPECT_FALSE(dialog.isMinimized());
}

INSTANTIATE_TEST_SUITE_P(SingleAndDouble, TrayActivationTest,
                         testing::Values(QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick));

TEST_F(TrayDialogTest, WithoutHideOnCloseTheDialogCloses) {
    TrayDialog::SetTrayAvailabilityForTest(1);
    TrayDialog dialog;
    dialog.SetHideOnClose(false);
    dialog.show();
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.IsIconVisible());
    emit dialog.TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(TrayDialogTest, IconOperationsTraceWhatTheyCannotDo) {
    TrayDialog::SetTrayAvailabilityForTest(1);
    TrayDialog dialog;
    testing::internal::CaptureStderr();
    dialog.SetTrayIcon(QIcon());
    dialog.SetTrayIcon(ProgramIcon());
    EXPECT_FALSE(dialog.UpdateTrayIcon());
    EXPECT_FALSE(dialog.HideTrayIcon());
    EXPECT_TRUE(dialog.ShowTrayIcon());
    EXPECT_FALSE(dialog.ShowTrayIcon());
    EXPECT_TRUE(dialog.UpdateTrayIcon());
    EXPECT_TRUE(dialog.HideTrayIcon());
    // Qt's own warnings may come between the traces.
    std::string traces;
    std::istringstream written(testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(written, line);)
        if (line.rfind("ICON", 0) == 0 || line.rfind("FAILED", 0) == 0) traces += line + "\n";
    EXPECT_EQ(traces,
              "FAILED TO LOAD ICON\nICON NOT VISIBLE\nICON ALREADY HIDDEN\nICON ALREADY VISIBLE\n");
}

TEST_F(TrayDialogTest, WithoutANotificationAreaCloseMinimisesAndTheIconComesLater) {
    TrayDialog::SetTrayAvailabilityForTest(0);
    TrayDialog dialog;
    dialog.SetTrayIcon(ProgramIcon());
    dialog.show();
    EXPECT_FALSE(dialog.ShowTrayIcon());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.isMinimized());

    TrayDialog::SetTrayAvailabilityForTest(1);
    EXPECT_TRUE(Eventually([&] { return dialog.IsIconVisible(); }));
}

}  // namespace
