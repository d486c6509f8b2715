#include "ui/DialogCommands.h"

#include "core/WriteLog.h"
#include "detect/AutoMailChecker.h"
#include "platform/SystemLanguage.h"
#include "report/ReportLog.h"
#include "ui/HintDialog.h"
#include "ui/ReportDlg.h"

void ShowHintCommand(AppContext& ctx, QWidget* owner) {
    WriteLog(ctx, UI, DUMP, "Enter OnShowHint()");
    HintDialog hint(ctx, GetSystemDefaultLangID(), owner);
    hint.exec();
    WriteLog(ctx, UI, DUMP, "Exit OnShowHint()");
}

void SendLogCommand(AppContext& ctx, QWidget* owner) {
    AutoMailChecker checker(ctx.userConfig, ctx.Notifier(), ctx.tlsClient);
    WriteLog(ctx, UI, DUMP, "Press Report botton");
    ReportDlg dialog(ctx, owner);
    if (dialog.exec() == QDialog::Accepted) {
        ProtocalInfo connection = ctx.bestConnection.Get();
        ReportLog(ctx, checker, &connection);
        WriteLog(ctx, UI, MINOR, "User report log by enter %s", ctx.userConfig.USER_MAIL.Get().c_str());
    }
    WriteLog(ctx, UI, DUMP, "end of report botton");
}
