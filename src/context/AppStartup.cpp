#include "context/AppStartup.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "core/MailCodeKeys.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "platform/SystemLanguage.h"

void ReadBaseDirectory(AppContext& ctx) {
    char buffer[kMaxPathLength + 1];
    ctx.baseDirectory = getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

void InitialiseWindow(AppContext& ctx, ServiceStarter& starter, WindowHooks& window) {
    window.SetUpWindow();
    CreateLocks(ctx);
    BuildMailCodeKeys(ctx.mailCodeKeys);
    ReadBaseDirectory(ctx);
    // The log threshold is still 0 here, so nothing of this step is logged.
    std::string messageFile = LanguageFileName("message", GetSystemDefaultLangID());
    LoadMessageFile(ctx, DataFilePath(ctx, messageFile.c_str()));
    std::vector<std::string> warnings;
    LoadUserConfig(ctx, &warnings);
    CheckUserConfig(ctx);
    // A replaced port is otherwise found only in the log, long after the mail
    // program failed to connect to the port the user meant.
    for (const std::string& warning : warnings) ctx.Notifier().PostInfoLine(warning + "\r\n");
    window.SetUpTrayAndControls();
    StartServices(ctx, starter);
    window.RefreshConnectionList();
    WriteLog(ctx, UI, MINOR, "Start using QuilloMark");
}
