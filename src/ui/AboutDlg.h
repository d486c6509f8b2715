// AboutDlg is the small box that names the program and its version, opened
// from the About command. It is a TrayDialog that closes normally (OK, Enter,
// Escape or its close box) and never puts an icon in the notification area.
#pragma once

#include <QLabel>
#include <QPushButton>

#include "core/CoreContext.h"
#include "ui/TrayDialog.h"

class AboutDlg : public TrayDialog {
    Q_OBJECT
public:
    AboutDlg(CoreContext& ctx, QWidget* parent);

    QPushButton* OkButton() { return &okButton; }

private:
    QLabel iconLabel;
    QLabel nameLabel;
    QLabel noticeLabel;
    QPushButton okButton;
};
