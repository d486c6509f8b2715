#include "proxy/ProcessMailThread.h"

#include <memory>

#include "core/WriteLog.h"
#include "proxy/ClientSlots.h"
#include "proxy/ConnIo.h"
#include "proxy/ConnSetup.h"
#include "proxy/ProxyInfoLine.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/TcpSocket.h"

namespace {

struct ClientProcess {
    AppContext& ctx;
    const ProxyRuntime& runtime;
    ProcessMailParam param;
    const char* name;
    std::unique_ptr<RelaySession> session;  // the two ends, until the relay loop takes them
    ProtocalInfo chosen;
    bool passedFailure = false;  // a candidate failed to connect before the chosen one
};

// The slot is freed while its socket is still open: once closed, the number
// may come back from the listener's next accept and stand in another entry.
// A client that reconnects straight away must find it free.
int32_t FreeSlot(AppContext& ctx, const ProxyRuntime& runtime, int32_t protocol, int sock) {
    int32_t index;
    {
        std::lock_guard<std::mutex> lock(ctx.protocolLock[protocol]);
        index = ReleaseSlot(ctx.clientSlots[protocol], sock);
    }
    runtime.slotFreed.notify_all();
    return index;
}

void CloseSession(const ProxyRuntime& runtime, RelaySession& s) {
    const char* name = ProtocolTypeName(s.protocol);
    int32_t index = FreeSlot(s.ctx, runtime, s.protocol, s.client.sock);
    WriteLog(s.ctx, PROXY, DUMP, "process %s free index %d", name, index);
    CloseConn(&s.client, false);
    CloseConn(&s.server, s.serverTls);
    PostProxyInfoLine(s.ctx, "process %s end\r\n", name);
    WriteLog(s.ctx, PROXY, DUMP, "process %s end", name);
}

int32_t ConnectTlsCandidate(AppContext& ctx, ProxySocket& server, const ProtocalInfo& candidate,
                            int32_t port, const char* name, const ConnectBounds& bounds) {
    sockaddr_in address{};
    if (PrepareConn(&server, candidate.Dest, port, &address, true, ctx.tlsClient) <= 0) {
        WriteLog(ctx, PROXY, MINOR, "ERROR: process %s prepare failed(%d) when choose server", name, server.sock);
        return kProxyPrepareFailure;
    }
    if (ConnectConn(&server, &address, true, bounds) != 0) {
        WriteLog(ctx, PROXY, MINOR, "ERROR: process %s connect failed(%d) when choose server", name, server.sock);
        return kProxyCandidateFailure;
    }
    return 0;
}

int32_t ConnectPlainCandidate(AppContext& ctx, ProxySocket& server, const ProtocalInfo& candidate,
                              int32_t port, const char* name, const ConnectBounds& bounds) {
    int32_t sock = ConnectTcp(candidate.Dest, port, bounds.connectSeconds);
    if (sock < 0) {
        WriteLog(ctx, PROXY, MINOR, "ERROR: prcess %s connect failed(%d) when choose server", name, sock);
        return kProxyCandidateFailure;
    }
    server.sock = sock;
    return 0;
}

bool TryCandidate(ClientProcess& cp, const ProtocalInfo& candidate) {
    if (ConnectCandidate(cp.ctx, &cp.session->server, candidate, cp.param.protocol, cp.runtime.connectBounds) != 0) {
        cp.passedFailure = true;
        return false;
    }
    cp.chosen = candidate;
    std::lock_guard<std::mutex> lock(cp.ctx.bestConnectionLock);
    cp.ctx.bestConnection = candidate;
    return true;
}

// The candidates before the first failed one, TLS ones first when preferred.
bool ChooseServer(ClientProcess& cp) {
    bool preferTls = cp.ctx.userConfig.IS_PREFER_SSL;
    ProtocalInfoList deferred;
    for (const ProtocalInfo& candidate : cp.param.candidates) {
        if (candidate.LinkCost == -1) break;
        if (preferTls && !candidate.IsSSL) {
            deferred.PushBack(candidate);
            continue;
        }
        if (TryCandidate(cp, candidate)) return true;
    }
    for (const ProtocalInfo& candidate : deferred)
        if (TryCandidate(cp, candidate)) return true;
    return false;
}

void ReportNoServer(ClientProcess& cp) {
    WriteLog(cp.ctx, PROXY, MAJOR, "ERROR: process %s find no server connectable", cp.name);
    // An empty title key gives the box the application's name as its title.
    cp.ctx.Notifier().ShowMessageBox("", "MSG_NO_AVAIL_SERVER");
    if (cp.ctx.userConfig.IS_MANUAL_DETECT) return;
    if (!RequestDetection(cp.ctx, cp.runtime))
        WriteLog(cp.ctx, PROXY, CRITICAL, "ERROR: process %s try to auto detect failed", cp.name);
}

// The ranking still sends every new client to a server that failed first;
// a fresh detection run sets that right long before the next timer run.
void AfterFailover(ClientProcess& cp) {
    if (!cp.passedFailure || cp.ctx.userConfig.IS_MANUAL_DETECT) return;
    if (RequestFailoverDetection(cp.ctx, cp.runtime))
        WriteLog(cp.ctx, PROXY, MINOR, "process %s fell back past a failed server, auto detect requested", cp.name);
}

void AnnounceServer(ClientProcess& cp) {
    const ProtocalInfo& c = cp.chosen;
    int32_t port = c.Port[cp.param.protocol];
    cp.ctx.Notifier().CurrentLinkChanged();
    PostProxyInfoLine(cp.ctx, "process %s choose server Code=%s, Dest=%s, Port=%d, IsSSL=%d\r\n", cp.name, c.Code,
                      c.Dest, port, c.IsSSL ? 1 : 0);
    WriteLog(cp.ctx, PROXY, MINOR, "process %s choose server Type=%d, Code=%s, Dest=%s, Port=%d, IsSSL=%d",
             cp.name, c.Type, c.Code, c.Dest, port, c.IsSSL ? 1 : 0);
}

// The session goes to the relay loop, which runs both directions with
// those of every other client; the client process is done with it. When
// both relays have ended the loop closes the session as the client process
// would have: both ends closed and the slot freed.
void HandToRelays(ClientProcess& cp) {
    RelaySession& s = *cp.session;
    s.serverTls = cp.chosen.IsSSL;
    const ProxyRuntime& runtime = cp.runtime;
    s.ended = [&runtime](RelaySession& ended) {
        WriteLog(ended.ctx, PROXY, DUMP, "process %s data transmission end", ProtocolTypeName(ended.protocol));
        CloseSession(runtime, ended);
        --runtime.workers;
    };
    ++runtime.workers;
    if (runtime.relays.Add(cp.session, runtime.timeouts)) return;
    --runtime.workers;
    WriteLog(cp.ctx, PROXY, CRITICAL, "ERROR: process %s start client data transmission failed\n", cp.name);
}

}  // namespace

int32_t ConnectCandidate(AppContext& ctx, ProxySocket* server, const ProtocalInfo& candidate,
                         int32_t protocol, const ConnectBounds& bounds) {
    if (server == nullptr) return kProxyMissingArgument;
    if (protocol < 0 || protocol >= kProtocolCount) return kProxyCandidateFailure;
    const char* name = ProtocolTypeName(protocol);
    int32_t port = candidate.Port[protocol];
    int32_t result = candidate.IsSSL ? ConnectTlsCandidate(ctx, *server, candidate, port, name, bounds)
                                     : ConnectPlainCandidate(ctx, *server, candidate, port, name, bounds);
    if (result != 0) CloseConn(server, candidate.IsSSL);
    return result;
}

int32_t ProcessMailThread(AppContext& ctx, const ProcessMailParam* param, const ProxyRuntime& runtime) {
    if (param == nullptr) return kProxyMissingArgument;
    if (param->protocol < 0 || param->protocol >= kProtocolCount || param->slot < 0 ||
        param->slot >= kClientSlotCount)
        return kProxyMissingArgument;
    ClientProcess cp{ctx, runtime, *param, ProtocolTypeName(param->protocol), std::make_unique<RelaySession>(ctx), {}};
    RelaySession& s = *cp.session;
    s.protocol = param->protocol;
    s.slot = param->slot;
    {
        std::lock_guard<std::mutex> lock(ctx.protocolLock[s.protocol]);
        s.client.sock = ctx.clientSlots[s.protocol][s.slot];
    }
    WriteLog(ctx, PROXY, DUMP, "process %s in index %d client socket=%d", cp.name, s.slot, s.client.sock);
    if (ChooseServer(cp)) {
        AnnounceServer(cp);
        AfterFailover(cp);
        HandToRelays(cp);
    } else {
        ReportNoServer(cp);
    }
    // Still here when no server took the client or the loop could not.
    if (cp.session) CloseSession(runtime, *cp.session);
    return 0;
}
