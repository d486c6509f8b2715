#include "context/LiveSettings.h"

#include "context/ServerCertificate.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"

namespace {

constexpr const char* kPortKeys[kListenerCount] = {"PORT_SMTP",  "PORT_POP3",  "PORT_IMAP4",
                                                   "PORT_SMTPS", "PORT_POP3S", "PORT_IMAP4S"};

}  // namespace

LiveResult ApplyLiveChange(AppContext& ctx, ServiceStarter& starter, const LiveChange& change,
                           std::vector<RefusedMove>& refused) {
    refused.clear();
    if (change.settings) {
        if (!ctx.detectRunning.TryEnter(DetectMode::Background)) return LiveResult::Busy;
        const std::string oldAddress = ctx.userConfig.LISTEN_ADDRESS.Get();
        ReloadUserConfig(ctx);
        ctx.detectRunning.Leave();
        const std::string address = ctx.userConfig.LISTEN_ADDRESS.Get();
        bool anyMoved = false;
        // A TLS port opened now needs the certificate the start did not make.
        if (AnyTlsListener(ctx.userConfig) && !ctx.tlsServer.Ready()) RefreshServerCertificate(ctx);
        for (int32_t listener = 0; listener < kListenerCount; ++listener) {
            const int32_t oldPort = ctx.listenParams[listener].port;
            const int32_t port = ListenerPort(ctx.userConfig, listener);
            // A closed listener stays closed wherever the others go.
            if (port == oldPort && (address == oldAddress || port == 0)) continue;
            const char* name = ListenerName(listener);
            std::string reason;
            if (starter.MoveListener(ctx, listener, port, address, reason)) {
                WriteLog(ctx, PROXY, MINOR, "proxy %s moved to %s:%d", name, address.c_str(), port);
                anyMoved = true;
                continue;
            }
            WriteLog(ctx, PROXY, MAJOR, "ERROR: proxy %s cannot move to %s:%d: %s", name, address.c_str(), port,
                     reason.c_str());
            refused.push_back({listener, port, reason});
            // The file and memory say where the listener still is.
            ModifyUserConfig(ctx, kPortKeys[listener], std::to_string(oldPort).c_str());
        }
        // The address is one for all three: it goes back only when no
        // listener could take it, else the next start binds the others there.
        if (address != oldAddress && !anyMoved && !refused.empty())
            ModifyUserConfig(ctx, "LISTEN_ADDRESS", oldAddress.c_str());
    }
    if (change.list || change.account) {
        WriteLog(ctx, UI, MINOR, "settings changed: detection starts");
        if (!starter.StartAutoDetect(ctx, DetectMode::OnDemand))
            WriteLog(ctx, DETECT, CRITICAL, "ERROR: try to start auto detect failed");
    }
    return LiveResult::Applied;
}

LiveResult ImportAndApply(AppContext& ctx, ServiceStarter& starter, const std::vector<std::string>& paths,
                          LiveChange& change, std::string& reply) {
    ImportOutcome outcome;
    std::string reason;
    change = LiveChange{};
    if (ImportSupportFiles(ctx, paths, outcome, reason) != CatalogueResult::Ok) {
        WriteLog(ctx, UI, MAJOR, "ERROR: import refused: %s", reason.c_str());
        reply = "error " + reason;
        return LiveResult::Applied;
    }
    WriteLog(ctx, UI, MINOR, "support files imported");
    // A new settings file may bring another test account; a run checks it.
    change.settings = outcome.settings;
    change.account = outcome.settings;
    change.list = outcome.list;
    std::vector<RefusedMove> refused;
    LiveResult result = ApplyLiveChange(ctx, starter, change, refused);
    reply = "ok";
    for (const RefusedMove& move : refused)
        reply = std::string("error ") + ListenerName(move.listener) + " port " + std::to_string(move.port) +
                " cannot be used (" + move.reason + "); the old port is kept";
    return result;
}
