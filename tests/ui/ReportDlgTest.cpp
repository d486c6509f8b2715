#include "ui/ReportDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstring>

#include "ui/DialogTest.h"

namespace {

class ReportDlgTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        UseSettings("USER_MAIL=\"\"\n");
        std::strcpy(ctx.userConfig.LOG_RCPT_TO, "support@qm.test");
    }

    static QLineEdit* Field(ReportDlg& d) { return d.findChild<QLineEdit*>("addressField"); }
    static QPushButton* Submit(ReportDlg& d) { return d.findChild<QPushButton*>("submitButton"); }
    static QPushButton* Cancel(ReportDlg& d) { return d.findChild<QPushButton*>("cancelButton"); }
};

TEST_F(ReportDlgTest, FirstUseStartsEmptyAndSubmitFollowsTheField) {
    ReportDlg report(ctx);
    EXPECT_EQ(report.windowTitle(), "Send Log");
    EXPECT_EQ(report.findChild<QLabel*>("explanation")->text(),
              "Send log to below Email address\n\nsupport@qm.test\n\nPlease enter yout email for later contact:");
    EXPECT_EQ(Submit(report)->text(), "Submit");
    EXPECT_EQ(Cancel(report)->text(), "Cancel");
    EXPECT_EQ(Field(report)->text(), "");
    EXPECT_FALSE(Submit(report)->isEnabled());

    QTest::keyClick(Field(report), Qt::Key_A);
    EXPECT_TRUE(Submit(report)->isEnabled());
    QTest::keyClick(Field(report), Qt::Key_Backspace);
    EXPECT_FALSE(Submit(report)->isEnabled());
}

TEST_F(ReportDlgTest, RememberedAddressIsOfferedAndSubmittedAgain) {
    UseSettings("USER_MAIL=\"user@qm.test\"\n");
    ReportDlg report(ctx);
    EXPECT_EQ(Field(report)->text(), "user@qm.test");
    EXPECT_TRUE(Submit(report)->isEnabled());
    WhenShown<ReportDlg>([](ReportDlg* d) { Submit(*d)->click(); });
    EXPECT_EQ(report.exec(), QDialog::Accepted);
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), "user@qm.test");
    EXPECT_EQ(Settings(), "USER_MAIL=\"user@qm.test\"\n");
}

TEST_F(ReportDlgTest, EnterSubmitsAtMostNinetyNineCharacters) {
    ReportDlg report(ctx);
    WhenShown<ReportDlg>([](ReportDlg* d) {
        Field(*d)->setText(QString(120, 'm'));
        QTest::keyClick(Field(*d), Qt::Key_Return);
    });
    EXPECT_EQ(report.exec(), QDialog::Accepted);
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), std::string(99, 'm'));
    EXPECT_EQ(Settings(), "USER_MAIL=\"" + std::string(99, 'm') + "\"\n");
}

// The limit counts bytes of the stored text and never splits a character.
TEST_F(ReportDlgTest, CutNeverSplitsACharacter) {
    ReportDlg report(ctx);
    Field(report)->setText(QString(98, 'm') + QString::fromUtf8("é@"));
    WhenShown<ReportDlg>([](ReportDlg* d) { Submit(*d)->click(); });
    EXPECT_EQ(report.exec(), QDialog::Accepted);
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), std::string(98, 'm'));
}

TEST_F(ReportDlgTest, CancelEscapeAndCloseLeaveTheAddress) {
    UseSettings("USER_MAIL=\"user@qm.test\"\n");
    const std::function<void(ReportDlg*)> ways[] = {
        [](ReportDlg* d) { Cancel(*d)->click(); },
        [](ReportDlg* d) { QTest::keyClick(d, Qt::Key_Escape); },
        [](ReportDlg* d) { d->close(); },
    };
    for (const auto& leave : ways) {
        ReportDlg report(ctx);
        WhenShown<ReportDlg>([leave](ReportDlg* d) {
            Field(*d)->setText("other@qm.test");
            leave(d);
        });
        EXPECT_EQ(report.exec(), QDialog::Rejected);
        EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), "user@qm.test");
        EXPECT_EQ(Settings(), "USER_MAIL=\"user@qm.test\"\n");
    }
}

// A line break in the address would become header lines of the report mail.
TEST_F(ReportDlgTest, ControlCharactersKeepSubmitDisabled) {
    ReportDlg report(ctx);
    for (const char* text : {"user@qm.test\r\nBcc: all@qm.test", "user@qm.test\n", "a\tb", "a\x7f"}) {
        Field(report)->setText(QString::fromUtf8(text));
        EXPECT_FALSE(Submit(report)->isEnabled()) << text;
    }
    Field(report)->setText(QString("user") + QChar(0) + "@qm.test");
    EXPECT_FALSE(Submit(report)->isEnabled());
    Field(report)->setText(QString::fromUtf8("josé@qm.test"));
    EXPECT_TRUE(Submit(report)->isEnabled());

    Field(report)->setText("user@qm.test\r\n");
    WhenShown<ReportDlg>([](ReportDlg* d) { QTest::keyClick(Field(*d), Qt::Key_Return); });
    QTimer::singleShot(500, &report, &QDialog::reject);
    EXPECT_EQ(report.exec(), QDialog::Rejected);  // Enter did not submit
    EXPECT_EQ(ctx.userConfig.USER_MAIL.Get(), "");
}

}  // namespace
