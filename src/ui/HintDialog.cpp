#include "ui/HintDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <fstream>

#include "core/CoreContext.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "ui/DialogUnits.h"
#include "ui/ScreenFit.h"

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

// Laid out as designed (297 x 201 dialog units, the OK button centred under
// the text, the check box to its right), but in layouts, so the dialog can
// shrink to a small screen and the text scrolls instead.
void HintDialog::BuildControls() {
    DialogUnits units(font());

    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("hintText"));
    text_->setReadOnly(true);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // The button's text is fixed; it is not one of the translated captions.
    ok_ = new QPushButton(QString::fromUtf8("確定"), this);
    ok_->setObjectName(QStringLiteral("okButton"));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &HintDialog::accept);

    disableTips_ = new QCheckBox(Message(ctx_, "MSG_CAPTION_DISABLE_HINT_CHK"), this);
    disableTips_->setObjectName(QStringLiteral("disableTipsBox"));

    auto* bottom = new QGridLayout;
    bottom->addWidget(ok_, 0, 1);
    bottom->addWidget(disableTips_, 0, 2, Qt::AlignRight);
    bottom->setColumnStretch(0, 1);
    bottom->setColumnStretch(2, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_, 1);
    layout->addLayout(bottom);
    ResizeWithinScreen(*this, units.Size(297, 201));

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
                              Message(ctx_, "MSG_HINT_FILE_MISSING") + QLatin1Char('\n') + QString::fromStdString(path));
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
