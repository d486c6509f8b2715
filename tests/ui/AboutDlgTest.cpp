#include "ui/AboutDlg.h"

#include <QDesktopServices>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "ui/WindowFixture.h"

namespace {

class AboutDlgTest : public WindowFixture {};

// Stands in for the desktop's file manager.
class UrlRecorder : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { opened.push_back(url); }

public:
    std::vector<QUrl> opened;
};

bool HasLabel(AboutDlg& about, const std::string& text) {
    for (QLabel* label : about.findChildren<QLabel*>())
        if (label->text().toStdString() == text) return true;
    return false;
}

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

TEST_F(AboutDlgTest, TellsTheLicenceAndWhereTheFilesAreAndOpensTheFolder) {
    ctx.baseDirectory = dir.File("work dir");
    AboutDlg about(ctx, nullptr);
    EXPECT_TRUE(HasLabel(about, "Licence: proprietary. All rights reserved."));
    EXPECT_TRUE(HasLabel(about, "Working directory: " + ctx.baseDirectory));
    EXPECT_TRUE(HasLabel(about, "Log file: " + ctx.baseDirectory + "/Quillomark.log"));

    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "Open");
    about.OpenFolderButton()->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(recorder.opened.size(), 1u);
    EXPECT_EQ(recorder.opened[0], QUrl::fromLocalFile(QString::fromStdString(ctx.baseDirectory)));
}

}  // namespace

#include "AboutDlgTest.moc"
