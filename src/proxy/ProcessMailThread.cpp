#include "proxy/ProcessMailThread.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include <sys/socket.h>

#include "core/WriteLog.h"
#include "proxy/ConnIo.h"
#include "proxy/ProxyInfoLine.h"
#include "platform/StartThread.h"
#include "proxy/RelaySession.h"

namespace {

// Long enough for a session whose client has gone to finish ending (its
// server answers the passed-on end by closing); short enough that a server
// that never does so holds the next client up only briefly.
constexpr auto kGoneClientWait = std::chrono::seconds(2);

// The slot is freed while its socket is still open: once closed, the number
// may come back from the listener's next accept and stand in another entry.
// A client that reconnects straight away must find it free.
void CloseSession(const ProxyRuntime& runtime, RelaySession& s) {
    const char* name = ListenerName(s.Listener());
    std::optional<int32_t> freed = s.ctx.clientSlots.Release(s.Listener(), s.client.sock.Get());
    // -1: no entry held it, as the line has always said.
    WriteLog(s.ctx, PROXY, DUMP, "process %s free index %d", name, freed.value_or(-1));
    CloseConn(s.client);
    CloseConn(s.server);
    PostProxyInfoLine(s.ctx, "process %s end\r\n", name);
    WriteLog(s.ctx, PROXY, DUMP, "process %s end", name);
    --runtime.workers;
}

// Without a thread to wait on, the box is left out: the log still tells.
void ReportNoServer(RelaySession& s, const ProxyRuntime& runtime, bool tellUser) {
    const char* name = ListenerName(s.Listener());
    WriteLog(s.ctx, PROXY, MAJOR, "ERROR: process %s find no server connectable", name);
    // An empty title key gives the box the application's name as its title.
    if (tellUser) s.ctx.Notifier().ShowMessageBox("", "MSG_NO_AVAIL_SERVER");
    if (s.ctx.userConfig.IS_MANUAL_DETECT) return;
    if (!RequestDetection(s.ctx, runtime))
        WriteLog(s.ctx, PROXY, CRITICAL, "ERROR: process %s try to auto detect failed", name);
}

// The box waits for the user, so the client that found no server is told
// and closed on a thread of its own rather than on the relay loop's.
void TurnAway(std::unique_ptr<RelaySession> session, const ProxyRuntime& runtime) {
    std::shared_ptr<RelaySession> held(std::move(session));
    bool started = StartThread(
        [held, &runtime] {
            ReportNoServer(*held, runtime, true);
            CloseSession(runtime, *held);
        },
        kServiceStackBytes);
    if (started) return;
    ReportNoServer(*held, runtime, false);
    CloseSession(runtime, *held);
}

// What a client over its protocol's limit reads before the close: a
// temporary failure its mail program shows and retries, rather than an empty
// reply it cannot explain.
constexpr const char* kTooManyClients[kProtocolCount] = {
    "421 4.7.0 Too many connections, try again later\r\n",
    "-ERR too many connections, try again later\r\n",
    "* BYE too many connections, try again later\r\n",
};

// The line fits any fresh socket's send buffer; a client that does not take
// it is never waited for.
void SendRefusal(int sock, int32_t protocol) {
    const char* line = kTooManyClients[protocol];
    (void)send(sock, line, std::strlen(line), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// A client that came while its row was full takes the slot of a client that
// has gone once that session has ended; with no client gone, or none of
// them ending in time, it is refused. The first answer waits regardless:
// the loop has not yet handled the ends that came with the client.
Admission AdmitClient(RelaySession& s, const ProxyRuntime& runtime, AdmitTry when) {
    const char* name = ListenerName(s.Listener());
    bool clientGone = false;
    int sock = s.client.sock.Get();
    s.slot = TakeClientSlot(s.ctx, s.Listener(), sock, when == AdmitTry::Round ? &clientGone : nullptr);
    if (s.slot) {
        WriteLog(s.ctx, PROXY, DUMP, "process %s in index %d client socket=%d", name, *s.slot, sock);
        return Admission::Admitted;
    }
    if (when == AdmitTry::Arrival || clientGone) return Admission::Waiting;
    // A TLS client could not read the line before its handshake.
    if (!s.clientTls) SendRefusal(sock, s.protocol);
    s.client.sock.Reset();
    WriteLog(s.ctx, PROXY, MINOR, "ERROR: proxy %s no avail socket", name);
    --runtime.workers;
    return Admission::Refused;
}

// The ranking still sends every new client to a server that failed first;
// a fresh detection run sets that right long before the next timer run.
void AfterFailover(RelaySession& s, const ProxyRuntime& runtime) {
    if (!s.choice->PassedFailure() || s.ctx.userConfig.IS_MANUAL_DETECT) return;
    if (RequestFailoverDetection(s.ctx, runtime))
        WriteLog(s.ctx, PROXY, MINOR, "process %s fell back past a failed server, auto detect requested",
                 ListenerName(s.Listener()));
}

void AnnounceServer(RelaySession& s) {
    const ProtocalInfo& c = s.choice->Chosen();
    const char* name = ListenerName(s.Listener());
    int32_t port = c.Port[s.protocol];
    s.ctx.bestConnection.Set(c);
    s.ctx.Notifier().CurrentLinkChanged();
    PostProxyInfoLine(s.ctx, "process %s choose server Code=%s, Dest=%s, Port=%d, IsSSL=%d\r\n", name, c.Code,
                      c.Dest, port, c.IsSSL ? 1 : 0);
    WriteLog(s.ctx, PROXY, MINOR, "process %s choose server Type=%d, Code=%s, Dest=%s, Port=%d, IsSSL=%d", name,
             c.Type, c.Code, c.Dest, port, c.IsSSL ? 1 : 0);
}

}  // namespace

std::optional<int32_t> TakeClientSlot(AppContext& ctx, int32_t listener, int sock, bool* clientGone) {
    std::optional<int32_t> slot = ctx.clientSlots.TakeSlot(listener, sock, clientGone);
    if (!slot) return slot;
    const char* name = ListenerName(listener);
    WriteLog(ctx, PROXY, DUMP, "proxy %s in avail index=%d", name, *slot);
    WriteLog(ctx, PROXY, MINOR, "using %s service", name);
    return slot;
}

// The session goes to the relay loop, which walks the candidates, runs both
// relays with those of every other client, and hands the session back here
// to be announced, turned away or closed; the client process itself holds
// no thread while it waits for a server.
ProxyResult ProcessMailThread(AppContext& ctx, ProcessMailParam& param, const ProxyRuntime& runtime) {
    if (param.protocol < 0 || param.protocol >= kProtocolCount || !param.client) return ProxyResult::MissingArgument;
    if (param.slot && (*param.slot < 0 || *param.slot >= kClientSlotCount)) return ProxyResult::MissingArgument;
    const char* name = ListenerName(ListenerIndex(param.protocol, param.clientTls));
    auto session = std::make_unique<RelaySession>(ctx);
    RelaySession& s = *session;
    s.protocol = param.protocol;
    s.clientTls = param.clientTls;
    s.handshakeSeconds = runtime.connectBounds.handshakeSeconds;
    s.slot = param.slot;
    s.client.sock = std::move(param.client);
    if (!s.slot) {
        s.admit = [&runtime](RelaySession& r, AdmitTry when) { return AdmitClient(r, runtime, when); };
        s.admitBy = MonotonicClock::now() + kGoneClientWait;
    } else {
        WriteLog(ctx, PROXY, DUMP, "process %s in index %d client socket=%d", name, *s.slot, s.client.sock.Get());
    }
    s.choice = std::make_unique<ServerChoice>(ctx, s.protocol, param.candidates, runtime.connectBounds);
    s.chosen = [&runtime](RelaySession& r) {
        AnnounceServer(r);
        AfterFailover(r, runtime);
    };
    s.noServer = [&runtime](std::unique_ptr<RelaySession> r) { TurnAway(std::move(r), runtime); };
    s.ended = [&runtime](RelaySession& ended) {
        WriteLog(ended.ctx, PROXY, DUMP, "process %s data transmission end", ListenerName(ended.Listener()));
        CloseSession(runtime, ended);
    };
    ++runtime.workers;
    if (runtime.relays->Add(session, runtime.timeouts)) return ProxyResult::Ok;
    WriteLog(ctx, PROXY, CRITICAL, "ERROR: process %s start client data transmission failed\n", name);
    CloseSession(runtime, s);
    return ProxyResult::Ok;
}
