#include "ui/HintDialog.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <filesystem>
#include <fstream>

#include "core/CoreContext.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "ui/DialogUnits.h"

namespace {

QString Message(CoreContext& ctx, const char* key) { return QString::fromUtf8(GetMessageText(ctx, key)); }

}  // namespace

HintDialog::HintDialog(CoreContext& ctx, uint16_t languageId, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), ctx_(ctx) {
    setFont(DialogFont(font()));
    setWindowTitle(Message(ctx_, "MSG_CAPTION_HINT_DLG"));
    BuildControls();
    disableTips_->setChecked(!ctx_.userConfig.IS_OPEN_TUTORIAL);
    std::string file = LanguageFileName("hint", languageId);
    LoadText(DataFilePath(ctx_, file.c_str()));
}

void HintDialog::BuildControls() {
    DialogUnits units(font());
    setFixedSize(units.Size(297, 201));

    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("hintText"));
    text_->setGeometry(units.Rect(7, 15, 283, 155));
    text_->setReadOnly(true);
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // The button's text is fixed; it is not one of the translated captions.
    ok_ = new QPushButton(QString::fromUtf8("確定"), this);
    ok_->setObjectName(QStringLiteral("okButton"));
    ok_->setGeometry(units.Rect(124, 180, 50, 14));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &HintDialog::accept);

    disableTips_ = new QCheckBox(Message(ctx_, "MSG_CAPTION_DISABLE_HINT_CHK"), this);
    disableTips_->setObjectName(QStringLiteral("disableTipsBox"));
    disableTips_->setGeometry(units.Rect(210, 184, 80, 10));

    ok_->setFocus();
}

// Whole lines, unlike the other data files' 511-character pieces: a piece
// boundary would put a line break into a tip, or cut a UTF-8 character of
// the Chinese texts in two.
void HintDialog::LoadText(const std::string& path) {
    std::error_code ignored;
    std::ifstream file(path, std::ios::binary);
    if (!file || std::filesystem::is_directory(path, ignored)) {
        QMessageBox::critical(parentWidget(), windowTitle(),
                              QStringLiteral("The tutorial file was not found:\n%1").arg(QString::fromStdString(path)));
        return;
    }
    QString text;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        text += QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
        text += QStringLiteral(" \n");
    }
    text_->setPlainText(text);
}

void HintDialog::accept() {
    ModifyUserConfig(ctx_, "IS_OPEN_TUTORIAL", disableTips_->isChecked() ? "0" : "1");
    QDialog::accept();
}
