#include "ui/AboutDlg.h"

#include <QLabel>
#include <QTest>
#include <QTimer>

#include "ui/WindowFixture.h"

namespace {

class AboutDlgTest : public WindowFixture {};

TEST_F(AboutDlgTest, ShowsNameVersionAndIconAndClosesWithOkOrEscape) {
    AboutDlg about(ctx, nullptr);
    EXPECT_EQ(about.windowTitle().toStdString(), "About QuilloMark");
    EXPECT_EQ(about.OkButton()->text().toStdString(), "OK");
    EXPECT_TRUE(about.OkButton()->isDefault());
    bool named = false, iconShown = false;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        named = named || label->text() == QStringLiteral("QuilloMark Version 2.0");
        iconShown = iconShown || !label->pixmap().isNull();
    }
    EXPECT_TRUE(named);
    EXPECT_TRUE(iconShown);

    QTimer::singleShot(50, [&] { about.OkButton()->click(); });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    QTimer::singleShot(50, [&] { QTest::keyClick(&about, Qt::Key_Escape); });
    EXPECT_EQ(about.exec(), QDialog::Rejected);
    EXPECT_FALSE(about.IsIconVisible());
}

TEST_F(AboutDlgTest, TheCloseBoxClosesItWithoutATrayIcon) {
    TrayDialog::SetTrayAvailabilityForTest(1);
    AboutDlg about(ctx, nullptr);
    QTimer::singleShot(50, [&] { about.close(); });
    about.exec();
    EXPECT_FALSE(about.isVisible());
    EXPECT_FALSE(about.IsIconVisible());
    TrayDialog::SetTrayAvailabilityForTest(-1);
}

}  // namespace
