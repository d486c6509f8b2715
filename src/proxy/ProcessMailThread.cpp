#include "proxy/ProcessMailThread.h"

#include <atomic>

#include "core/WriteLog.h"
#include "platform/StartThread.h"
#include "proxy/ClientSlots.h"
#include "proxy/ConnIo.h"
#include "proxy/ConnSetup.h"
#include "proxy/DataTransmissionThread.h"
#include "proxy/ProxyInfoLine.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/TcpSocket.h"

namespace {

struct ClientProcess {
    AppContext& ctx;
    const ProxyRuntime& runtime;
    ProcessMailParam param;
    const char* name;
    ProxySocket client;
    ProxySocket server;
    ProtocalInfo chosen;
    bool passedFailure = false;  // a candidate failed to connect before the chosen one
    std::atomic<int> relaysRunning{0};
    bool slotFreed = false;
    int32_t freedIndex = -1;
};

// The slot is freed while its socket is still open: once closed, the number
// may come back from the listener's next accept and stand in another entry.
void FreeSlot(ClientProcess& cp) {
    {
        std::lock_guard<std::mutex> lock(cp.ctx.protocolLock[cp.param.protocol]);
        cp.freedIndex = ReleaseSlot(cp.ctx.clientSlots[cp.param.protocol], cp.client.sock);
        cp.slotFreed = true;
    }
    cp.runtime.slotFreed.notify_all();
}

// The last relay to end frees the slot at once: the session is over, and a
// client that reconnects straight away must find its slot free, not wait
// until the client process has wound up.
void RelayEnded(ClientProcess& cp) {
    if (--cp.relaysRunning == 0) FreeSlot(cp);
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
    if (ConnectCandidate(cp.ctx, &cp.server, candidate, cp.param.protocol, cp.runtime.connectBounds) != 0) {
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

// One direction, run by whichever thread is given it.
void Relay(ClientProcess& cp, const TransmissionParam& param) {
    DataTransmissionThread(cp.ctx, &param, cp.runtime.timeouts);
    RelayEnded(cp);
}

// The client-to-server relay gets a thread of its own; the client process
// itself is the server-to-client relay, which spares a thread per client
// and its start, and it has nothing else to do until both have ended.
void RelayBothWays(ClientProcess& cp) {
    bool tls = cp.chosen.IsSSL;
    const TransmissionParam toServer{CLIENT, cp.param.slot, cp.param.protocol, &cp.client, false, &cp.server, tls};
    const TransmissionParam toClient{SERVER, cp.param.slot, cp.param.protocol, &cp.server, tls, &cp.client, false};
    // Counted before either starts: the first may be over before the second begins.
    cp.relaysRunning = 2;
    ServiceThread clientRelay;
    if (!clientRelay.Start([&cp, &toServer] { Relay(cp, toServer); }, kServiceStackBytes)) {
        cp.relaysRunning = 0;
        WriteLog(cp.ctx, PROXY, CRITICAL, "ERROR: process %s start client data transmission failed\n", cp.name);
        return;
    }
    Relay(cp, toClient);
    clientRelay.Join();
    WriteLog(cp.ctx, PROXY, DUMP, "process %s data transmission end", cp.name);
}

void CleanUp(ClientProcess& cp) {
    if (!cp.slotFreed) FreeSlot(cp);
    WriteLog(cp.ctx, PROXY, DUMP, "process %s free index %d", cp.name, cp.freedIndex);
    CloseConn(&cp.client, false);
    CloseConn(&cp.server, cp.chosen.IsSSL);
    PostProxyInfoLine(cp.ctx, "process %s end\r\n", cp.name);
    WriteLog(cp.ctx, PROXY, DUMP, "process %s end", cp.name);
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
    ClientProcess cp{ctx, runtime, *param, ProtocolTypeName(param->protocol), {}, {}, {}};
    {
        std::lock_guard<std::mutex> lock(ctx.protocolLock[cp.param.protocol]);
        cp.client.sock = ctx.clientSlots[cp.param.protocol][cp.param.slot];
    }
    WriteLog(ctx, PROXY, DUMP, "process %s in index %d client socket=%d", cp.name, cp.param.slot, cp.client.sock);
    if (ChooseServer(cp)) {
        AnnounceServer(cp);
        AfterFailover(cp);
        RelayBothWays(cp);
    } else {
        ReportNoServer(cp);
    }
    CleanUp(cp);
    return 0;
}
