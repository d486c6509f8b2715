// AboutDlg is the small box that names the program, its version and its
// licence, and tells where the program keeps its files: the working
// directory and the log file in it, with a button that opens the directory in
// the desktop's file manager. It is opened from the About command: a
// TrayDialog that closes normally (OK, Enter, Escape or its close box) and
// never puts an icon in the notification area.
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
    QPushButton* OpenFolderButton() { return &openFolderButton; }

private:
    void OnOpenFolder();

    CoreContext& ctx;
    QLabel iconLabel;
    QLabel nameLabel;
    QLabel noticeLabel;
    QLabel licenceLabel;
    QLabel workDirLabel;
    QLabel logFileLabel;
    QPushButton okButton;
    QPushButton openFolderButton;
};
