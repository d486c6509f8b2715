#include "ui/AboutDlg.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QUrl>

#include "core/MessageTable.h"
#include "core/WriteLog.h"
#include "ui/ProgramIcon.h"

namespace {
constexpr int kIconPixels = 32;

QString Text(CoreContext& ctx, const char* key) {
    return QString::fromUtf8(GetMessageText(ctx, key));
}

// A path is shown whole and can be copied: a support call starts with it.
void ShowPath(QLabel& label, const QString& format, const std::string& path) {
    label.setText(format.arg(QString::fromStdString(path)));
    label.setTextInteractionFlags(Qt::TextSelectableByMouse);
}
}  // namespace

AboutDlg::AboutDlg(CoreContext& context, QWidget* parent) : TrayDialog(parent), ctx(context) {
    SetHideOnClose(false);
    setWindowTitle(Text(ctx, "MSG_CAPTION_ABOUT_DLG"));
    setWindowIcon(ProgramIcon());
    iconLabel.setPixmap(ProgramIcon().pixmap(kIconPixels, kIconPixels));
    nameLabel.setText(QStringLiteral("QuilloMark Version 2.0"));
    noticeLabel.setText(QStringLiteral("Relays your mail through the fastest working server."));
    licenceLabel.setText(Text(ctx, "MSG_ABOUT_LICENSE"));
    ShowPath(workDirLabel, Text(ctx, "MSG_ABOUT_WORKDIR"), ctx.baseDirectory);
    ShowPath(logFileLabel, Text(ctx, "MSG_ABOUT_LOGFILE"), DataFilePath(ctx, kLogFileName));
    okButton.setText(Text(ctx, "MSG_CAPTION_ABOUT_DLG_OK_BTN"));
    okButton.setDefault(true);
    openFolderButton.setText(Text(ctx, "MSG_CAPTION_ABOUT_OPEN_FOLDER_BTN"));
    openFolderButton.setAutoDefault(false);
    openFolderButton.setEnabled(!ctx.baseDirectory.empty());
    connect(&okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(&openFolderButton, &QPushButton::clicked, this, [this] { OnOpenFolder(); });

    auto* grid = new QGridLayout(this);
    grid->addWidget(&iconLabel, 0, 0, 5, 1, Qt::AlignTop);
    grid->addWidget(&nameLabel, 0, 1);
    grid->addWidget(&noticeLabel, 1, 1);
    grid->addWidget(&licenceLabel, 2, 1);
    grid->addWidget(&workDirLabel, 3, 1);
    grid->addWidget(&logFileLabel, 4, 1);
    grid->addWidget(&okButton, 0, 2, Qt::AlignTop);
    grid->addWidget(&openFolderButton, 3, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

// The desktop's own file manager, whatever it is; without one nothing opens,
// which the log says.
void AboutDlg::OnOpenFolder() {
    const QUrl folder = QUrl::fromLocalFile(QString::fromStdString(ctx.baseDirectory));
    if (!QDesktopServices::openUrl(folder))
        WriteLog(ctx, UI, MINOR, "ERROR: cannot open the folder %s", ctx.baseDirectory.c_str());
}
