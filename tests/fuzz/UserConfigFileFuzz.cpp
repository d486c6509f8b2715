// The settings file: load, the defaults pass (which rewrites the file) and a
// change made while running, on any bytes.
#include "core/UserConfigFile.h"

#include "core/CoreContext.h"
#include "fuzz/FuzzDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const FuzzDirectory& dir = TheFuzzDirectory();
    dir.Write(kUserConfigFileName, data, size);
    CoreContext ctx;
    dir.Use(ctx);
    BuildMailCodeKeys(ctx.mailCodeKeys);
    LoadUserConfig(ctx);
    ctx.userConfig.LOG_LVL = 5;
    CheckUserConfig(ctx);
    ModifyUserConfig(ctx, "USER_MAIL", "fuzz@example.org");
    ctx.log.CloseForShutdown();
    return 0;
}
