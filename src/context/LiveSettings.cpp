#include "context/LiveSettings.h"

#include "core/UserConfigFile.h"
#include "core/WriteLog.h"

namespace {

constexpr const char* kPortKeys[kProtocolCount] = {"PORT_SMTP", "PORT_POP3", "PORT_IMAP4"};

int32_t SettingPort(const UserConfig& cfg, int32_t protocol) {
    return protocol == SMTP ? cfg.PORT_SMTP.load() : protocol == POP3 ? cfg.PORT_POP3.load() : cfg.PORT_IMAP4.load();
}

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
        for (int32_t protocol = SMTP; protocol <= IMAP4; ++protocol) {
            const int32_t oldPort = ctx.listenParams[protocol].port;
            const int32_t port = SettingPort(ctx.userConfig, protocol);
            if (port == oldPort && address == oldAddress) continue;
            std::string reason;
            if (starter.MoveListener(ctx, protocol, port, address, reason)) {
                WriteLog(ctx, PROXY, MINOR, "proxy %s moved to %s:%d", ProtocolTypeName(protocol),
                         address.c_str(), port);
                anyMoved = true;
                continue;
            }
            WriteLog(ctx, PROXY, MAJOR, "ERROR: proxy %s cannot move to %s:%d: %s", ProtocolTypeName(protocol),
                     address.c_str(), port, reason.c_str());
            refused.push_back({protocol, port, reason});
            // The file and memory say where the listener still is.
            ModifyUserConfig(ctx, kPortKeys[protocol], std::to_string(oldPort).c_str());
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
        reply = std::string("error ") + ProtocolTypeName(move.protocol) + " port " + std::to_string(move.port) +
                " cannot be used (" + move.reason + "); the old port is kept";
    return result;
}
