#include "context/AppServices.h"

#include "context/ServerCertificate.h"
#include "core/WriteLog.h"

void CreateLocks(AppContext& ctx) {
    // Every lock is a member of the context (or of the class whose data it
    // guards, as the client slots' row locks), constructed with it before
    // any thread starts: nothing is left to do.
    (void)ctx;
}

int32_t ListenerPort(const UserConfig& cfg, int32_t listener) {
    switch (listener) {
    case ListenerIndex(SMTP, false): return cfg.PORT_SMTP;
    case ListenerIndex(POP3, false): return cfg.PORT_POP3;
    case ListenerIndex(IMAP4, false): return cfg.PORT_IMAP4;
    case ListenerIndex(SMTP, true): return cfg.PORT_SMTPS;
    case ListenerIndex(POP3, true): return cfg.PORT_POP3S;
    case ListenerIndex(IMAP4, true): return cfg.PORT_IMAP4S;
    default: return 0;
    }
}

bool AnyTlsListener(const UserConfig& cfg) {
    for (int32_t protocol = SMTP; protocol <= IMAP4; ++protocol)
        if (ListenerPort(cfg, ListenerIndex(protocol, true)) != 0) return true;
    return false;
}

void StartServices(AppContext& ctx, ServiceStarter& starter) {
    const UserConfig& cfg = ctx.userConfig;
    for (int32_t listener = 0; listener < kListenerCount; ++listener) {
        const int32_t protocol = listener % kProtocolCount;
        ctx.listenParams[listener] = {protocol, ListenerPort(cfg, listener), listener >= kProtocolCount};
    }
    // The TLS listeners' clients need it from the first connection on.
    if (AnyTlsListener(cfg)) RefreshServerCertificate(ctx);

    static const char* const kListenerFailures[kListenerCount] = {
        "ERROR: initial SMTP proxy failed",  "ERROR: initial POP3 proxy failed",  "ERROR: initial IMAP4 proxy failed",
        "ERROR: initial SMTPS proxy failed", "ERROR: initial POP3S proxy failed", "ERROR: initial IMAP4S proxy failed",
    };
    for (int32_t listener = 0; listener < kListenerCount; ++listener) {
        // A TLS port of 0 is one the user closed.
        if (ctx.listenParams[listener].tls && ctx.listenParams[listener].port == 0) continue;
        if (!starter.StartListener(ctx, ctx.listenParams[listener])) {
            WriteLog(ctx, PROXY, CRITICAL, "%s", kListenerFailures[listener]);
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
    // A program left running for months renews its certificate here.
    if (AnyTlsListener(ctx.userConfig)) RefreshServerCertificate(ctx);
    if (!starter.StartAutoDetect(ctx, DetectMode::Background))
        WriteLog(ctx, DETECT, CRITICAL, "ERROR: try to start auto detect failed");
    WriteLog(ctx, UI, DUMP, "timer end");
}

void CloseServices(AppContext& ctx) {
    WriteLog(ctx, UI, DUMP, "close QuilloMark");
    // From here on WriteLog writes nothing, whichever thread calls it.
    ctx.log.CloseForShutdown();
}
