#include "ui/ReportDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/CoreContext.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "report/UserMailText.h"
#include "ui/DialogUnits.h"
#include "ui/ScreenFit.h"

namespace {

QString Message(CoreContext& ctx, const char* key) { return QString::fromUtf8(GetMessageText(ctx, key)); }

// The first bytes of text, at most limit of them, ending on a whole UTF-8
// character (continuation bytes are 10xxxxxx).
QByteArray LeadingBytes(const QByteArray& text, int limit) {
    if (text.size() <= limit) return text;
    int end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.left(end);
}

// NUL counts too: the setting would silently end at it.
bool Acceptable(const QByteArray& taken) {
    return !taken.isEmpty() && !taken.contains('\0') && !HoldsControlCharacter(taken.constData());
}

}  // namespace

ReportDlg::ReportDlg(CoreContext& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setFont(DialogFont(font()));
    setWindowTitle(Message(ctx_, "MSG_CAPTION_REPORT_EMAIL_DLG_TITLE"));
    BuildControls();
    explanation_->setText(QStringLiteral("%1\n\n%2\n\n%3")
                              .arg(Message(ctx_, "MSG_CAPTION_REPORT_EMAIL_DLG"),
                                   QString::fromUtf8(ctx_.userConfig.LOG_RCPT_TO),
                                   Message(ctx_, "MSG_CAPTION_REPORT_EMAIL_DLG2")));
    connect(address_, &QLineEdit::textChanged, this, &ReportDlg::UpdateSubmit);
    address_->setText(QString::fromUtf8(ctx_.userConfig.USER_MAIL.Get().c_str()));
    UpdateSubmit();
}

// Laid out as designed (193 x 111 dialog units: the centred explanation, the
// address field, Submit and Cancel side by side), in layouts that let it
// shrink to a small screen.
void ReportDlg::BuildControls() {
    DialogUnits units(font());

    explanation_ = new QLabel(this);
    explanation_->setObjectName(QStringLiteral("explanation"));
    explanation_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    explanation_->setWordWrap(true);

    address_ = new QLineEdit(this);
    address_->setObjectName(QStringLiteral("addressField"));

    submit_ = new QPushButton(Message(ctx_, "MSG_CAPTION_SUMMIT_EMAIL_BTN"), this);
    submit_->setObjectName(QStringLiteral("submitButton"));
    submit_->setDefault(true);
    connect(submit_, &QPushButton::clicked, this, &ReportDlg::accept);

    cancel_ = new QPushButton(Message(ctx_, "MSG_CAPTION_CANCEL_EMAIL_BTN"), this);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    connect(cancel_, &QPushButton::clicked, this, &ReportDlg::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(submit_);
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation_, 1);
    layout->addWidget(address_);
    layout->addLayout(buttons);
    ResizeWithinScreen(*this, units.Size(193, 111));

    address_->setFocus();
}

QByteArray ReportDlg::TakenAddress() const { return LeadingBytes(address_->text().toUtf8(), kUserMailTaken); }

void ReportDlg::UpdateSubmit() {
    submit_->setEnabled(Acceptable(TakenAddress()));
}

// Enter reaches here through the default button only while it is enabled;
// the check is repeated so that no other path can store a refused address.
void ReportDlg::accept() {
    QByteArray taken = TakenAddress();
    if (!Acceptable(taken)) return;
    ModifyUserConfig(ctx_, "USER_MAIL", taken.constData());
    QDialog::accept();
}
