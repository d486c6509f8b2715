// The message file of the system language, and lookups in what it gave.
#include "core/MessageTable.h"

#include "core/CoreContext.h"
#include "fuzz/FuzzDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const FuzzDirectory& dir = TheFuzzDirectory();
    std::string name = LanguageFileName("message", 1033);
    dir.Write(name.c_str(), data, size);
    CoreContext ctx;
    dir.Use(ctx);
    LoadMessageFile(ctx, dir.path() + name);
    for (const MessageRecord& record : ctx.messageTable.loaded) GetMessageText(ctx, record.key);
    GetMessageText(ctx, "MSG_CAPTION_CURLINK_GB");
    GetMessageText(ctx, "");
    ctx.log.CloseForShutdown();
    return 0;
}
