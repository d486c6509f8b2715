#include "ui/AboutDlg.h"

#include <QGridLayout>

#include "core/MessageTable.h"
#include "ui/ProgramIcon.h"

namespace {
constexpr int kIconPixels = 32;
}  // namespace

AboutDlg::AboutDlg(CoreContext& ctx, QWidget* parent) : TrayDialog(parent) {
    SetHideOnClose(false);
    setWindowTitle(QString::fromUtf8(GetMessageText(ctx, "MSG_CAPTION_ABOUT_DLG")));
    setWindowIcon(ProgramIcon());
    iconLabel.setPixmap(ProgramIcon().pixmap(kIconPixels, kIconPixels));
    nameLabel.setText(QStringLiteral("QuilloMark Version 2.0"));
    noticeLabel.setText(QStringLiteral("Relays your mail through the fastest working server."));
    okButton.setText(QString::fromUtf8(GetMessageText(ctx, "MSG_CAPTION_ABOUT_DLG_OK_BTN")));
    okButton.setDefault(true);
    connect(&okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->addWidget(&iconLabel, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(&nameLabel, 0, 1);
    grid->addWidget(&noticeLabel, 1, 1);
    grid->addWidget(&okButton, 0, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}
