#include "ui/HintDialog.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <string>

#include "ui/DialogTest.h"

namespace {

class HintDialogTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        dir.Write("hint_EN.txt", "english\n");
    }

    static QCheckBox* DisableTips(HintDialog& d) { return d.findChild<QCheckBox*>("disableTipsBox"); }
    static QString Text(HintDialog& d) { return d.findChild<QPlainTextEdit*>("hintText")->toPlainText(); }
    static void PressOk(HintDialog* d) { d->findChild<QPushButton*>("okButton")->click(); }
};

TEST_F(HintDialogTest, DisablingTheTipsWritesZeroAndTurningThemOnAgainWritesOne) {
    UseSettings("PORT_SMTP=2525\nIS_OPEN_TUTORIAL=1\n");
    {
        HintDialog hint(ctx, 1033);
        EXPECT_FALSE(DisableTips(hint)->isChecked());
        EXPECT_EQ(hint.windowTitle(), "Tips for QuilloMark, Ferolynx");
        EXPECT_EQ(DisableTips(hint)->text(), "Disable tips");
        WhenShown<HintDialog>([](HintDialog* d) {
            DisableTips(*d)->click();
            PressOk(d);
        });
        EXPECT_EQ(hint.exec(), QDialog::Accepted);
    }
    EXPECT_FALSE(ctx.userConfig.IS_OPEN_TUTORIAL);
    EXPECT_EQ(Settings(), "PORT_SMTP=2525\nIS_OPEN_TUTORIAL=0\n");

    // Opened again with the tips off, the box shows checked.
    HintDialog again(ctx, 1033);
    EXPECT_TRUE(DisableTips(again)->isChecked());
    WhenShown<HintDialog>([](HintDialog* d) {
        DisableTips(*d)->click();
        PressOk(d);
    });
    EXPECT_EQ(again.exec(), QDialog::Accepted);
    EXPECT_TRUE(ctx.userConfig.IS_OPEN_TUTORIAL);
    EXPECT_EQ(Settings(), "PORT_SMTP=2525\nIS_OPEN_TUTORIAL=1\n");
}

TEST_F(HintDialogTest, OkWritesTheSettingEvenUnchangedAndEnterIsOk) {
    UseSettings("IS_OPEN_TUTORIAL= 1\n");
    HintDialog hint(ctx, 1033);
    WhenShown<HintDialog>([](HintDialog* d) { QTest::keyClick(d, Qt::Key_Return); });
    EXPECT_EQ(hint.exec(), QDialog::Accepted);
    EXPECT_EQ(Settings(), "IS_OPEN_TUTORIAL=1\n");  // rewritten from the check box
}

TEST_F(HintDialogTest, EscapeAfterChangingTheBoxLeavesTheSetting) {
    UseSettings("IS_OPEN_TUTORIAL=1\n");
    HintDialog hint(ctx, 1033);
    WhenShown<HintDialog>([](HintDialog* d) {
        DisableTips(*d)->click();
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_EQ(hint.exec(), QDialog::Rejected);
    EXPECT_TRUE(ctx.userConfig.IS_OPEN_TUTORIAL);
    EXPECT_EQ(Settings(), "IS_OPEN_TUTORIAL=1\n");
}

TEST_F(HintDialogTest, LanguageChoosesTheFile) {
    dir.Write("hint_CN.txt", "简体\n");
    dir.Write("hint_TW.txt", "繁體\n");
    const std::pair<uint16_t, const char*> cases[] = {
        {2052, "简体 \n"}, {1028, "繁體 \n"}, {1033, "english \n"}, {3076, "english \n"}};
    for (const auto& [language, text] : cases) {
        HintDialog hint(ctx, language);
        EXPECT_EQ(Text(hint), QString::fromUtf8(text)) << language;
    }
}

TEST_F(HintDialogTest, EachLineEndsInABlankAndALineBreak) {
    dir.Write("hint_EN.txt", "one\r\ntwo\nthree");
    HintDialog hint(ctx, 1033);
    EXPECT_EQ(Text(hint), "one \ntwo \nthree \n");
    EXPECT_EQ(hint.findChild<QPushButton*>("okButton")->text(), QString::fromUtf8("確定"));

    dir.Write("hint_EN.txt", "");
    HintDialog empty(ctx, 1033);  // no box: a message box here would wait for ever
    EXPECT_EQ(Text(empty), "");
}

TEST_F(HintDialogTest, MissingFileIsReportedAndLeavesTheTextEmpty) {
    std::filesystem::remove(dir.File("hint_EN.txt"));
    QString seen;
    WhenShown<QMessageBox>([&seen](QMessageBox* box) {
        seen = box->text();
        box->accept();
    });
    HintDialog hint(ctx, 1033);
    EXPECT_TRUE(seen.contains(QString::fromStdString(dir.File("hint_EN.txt")))) << seen.toStdString();
    EXPECT_EQ(Text(hint), "");
}

// The texts the program ships: each one loads, whole and as valid UTF-8.
TEST_F(HintDialogTest, ShippedTextsLoadInEveryLanguage) {
    for (const char* name : {"hint_EN.txt", "hint_TW.txt", "hint_CN.txt"})
        std::filesystem::copy_file(std::string(QM_SOURCE_DIR "/data/") + name, dir.File(name),
                                   std::filesystem::copy_options::overwrite_existing);
    for (uint16_t language : {1033, 1028, 2052}) {
        HintDialog hint(ctx, language);
        QString text = Text(hint);
        EXPECT_GT(text.count('\n'), 10) << language;
        EXPECT_FALSE(text.contains(QChar::ReplacementCharacter)) << language;
        EXPECT_TRUE(text.contains("127.0.0.1")) << language;
    }
}

}  // namespace
