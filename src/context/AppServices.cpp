#include "context/AppServices.h"

#include "core/WriteLog.h"

void CreateLocks(AppContext& ctx) {
    // Every lock is a member of the context (or of the class whose data it
    // guards, as the client slots' row locks), constructed with it before
    // any thread starts: nothing is left to do.
    (void)ctx;
}

void StartServices(AppContext& ctx, ServiceStarter& starter) {
    const UserConfig& cfg = ctx.userConfig;
    ctx.listenParams[SMTP] = {SMTP, cfg.PORT_SMTP};
    ctx.listenParams[POP3] = {POP3, cfg.PORT_POP3};
    ctx.listenParams[IMAP4] = {IMAP4, cfg.PORT_IMAP4};

    static const char* const kListenerFailures[kProtocolCount] = {
        "ERROR: initial SMTP proxy failed",
        "ERROR: initial POP3 proxy failed",
        "ERROR: initial IMAP4 proxy failed",
    };
    for (int protocol = SMTP; protocol <= IMAP4; ++protocol) {
        if (!starter.StartListener(ctx, ctx.listenParams[protocol])) {
            WriteLog(ctx, PROXY, CRITICAL, "%s", kListenerFailures[protocol]);
            return;
        }
    }

    if (!starter.StartAutoDetect(ctx, DetectMode::Background)) {
        WriteLog(ctx, DETECT, CRITICAL, "ERROR: initial auto detect failed");
        return;
    }
    // A timer that cannot be set leaves the periodic runs out; the download
    // thread still starts, as nothing in the sequence depends on the timer.
    starter.StartDetectTimer(ctx, cfg.DETECT_INTERVAL);
    if (!starter.StartAutoDownload(ctx))
        WriteLog(ctx, DOWNLOAD, CRITICAL, "ERROR: initial auto download failed");
}

void OnDetectTimer(AppContext& ctx, ServiceStarter& starter) {
    WriteLog(ctx, UI, DUMP, "auto detect timer activated");
    if (!starter.StartAutoDetect(ctx, DetectMode::Background))
        WriteLog(ctx, DETECT, CRITICAL, "ERROR: try to start auto detect failed");
    WriteLog(ctx, UI, DUMP, "timer end");
}

void CloseServices(AppContext& ctx) {
    WriteLog(ctx, UI, DUMP, "close QuilloMark");
    // From here on WriteLog writes nothing, whichever thread calls it.
    ctx.log.CloseForShutdown();
}
