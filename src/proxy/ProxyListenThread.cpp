#include "proxy/ProxyListenThread.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <sys/socket.h>

#include "catalogue/DetectResult.h"
#include "catalogue/ProtocalInfoList.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "platform/PreboundSockets.h"
#include "proxy/ProcessMailThread.h"
#include "proxy/ProxyInfoLine.h"
#include "proxy/TcpSocket.h"

namespace {

// A burst of clients waits in the kernel's queue rather than being dropped
// there unanswered: the listener takes them at its own pace.
constexpr int32_t kListenBacklog = SOMAXCONN;
// A failing accept (say, out of descriptors) would otherwise spin and fill
// the log as fast as the disk takes it.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

// Which result file the listener's candidates came from. A list is served
// only in the mode of its file: after a mode switch, or a failed first read,
// the next client reads the file of the mode in force.
enum class HeldList { None, Auto, Manual };

HeldList ListOf(bool manual) {
    return manual ? HeldList::Manual : HeldList::Auto;
}

struct Listener {
    AppContext& ctx;
    std::shared_ptr<ProxyRuntime> runtime;
    int32_t protocol;
    int32_t port;
    bool tls;         // its clients speak TLS from the first byte
    int32_t row;      // its ListenerIndex: the row of client slots
    const char* name;
    ProtocalInfoList candidates;
    int32_t loadedAutoTime = 0;
    int32_t loadedManualTime = 0;
    HeldList held = HeldList::None;  // the file candidates came from
};

int32_t WrittenTime(AppContext& ctx, bool manual) {
    return ctx.resultTimes.Get(manual);
}

// A failed read closes the client before it is logged: it is told at once.
// It leaves no list behind, neither the other mode's nor a part of this
// file's, so that nothing is served until a read succeeds.
bool FirstLoad(Listener& l, bool manual, int32_t& loaded, UniqueFd& client) {
    ProtocalInfoList fresh;
    int32_t stamp = loaded;
    if (ReadDetectResult(l.ctx, stamp, fresh, manual) != CatalogueResult::Ok) {
        l.candidates.Clear();
        l.held = HeldList::None;
        client.Reset();
        WriteLog(l.ctx, PROXY, MAJOR, "ERROR: read detection result log fail");
        return false;
    }
    l.candidates = fresh;
    loaded = stamp;
    l.held = ListOf(manual);
    WriteLog(l.ctx, PROXY, DUMP, "proxy %s new log time=%d", l.name, loaded);
    return true;
}

// A newer file of the mode, or a file of the other mode than the one held
// (after the user switched modes), replaces the candidates.
bool Reload(Listener& l, bool manual, int32_t& loaded, UniqueFd& client) {
    int32_t stamp = WrittenTime(l.ctx, manual);
    if (stamp <= loaded && l.held == ListOf(manual)) return true;
    ProtocalInfoList fresh;
    if (ReadDetectResult(l.ctx, stamp, fresh, manual) != CatalogueResult::Ok) {
        client.Reset();
        WriteLog(l.ctx, PROXY, MAJOR, "ERROR: re-read detection result log fail");
        return false;
    }
    l.candidates = fresh;
    loaded = stamp;
    l.held = ListOf(manual);
    WriteLog(l.ctx, PROXY, DUMP, "proxy %s update log time=%d", l.name, loaded);
    return true;
}

// False when the read failed; the client is then closed.
bool RefreshCandidates(Listener& l, bool manual, UniqueFd& client) {
    int32_t& loaded = manual ? l.loadedManualTime : l.loadedAutoTime;
    return loaded == 0 ? FirstLoad(l, manual, loaded, client) : Reload(l, manual, loaded, client);
}

// After a failed read: false when the listener must end.
bool AfterFailedRead(Listener& l, bool manual) {
    if (manual || RequestDetection(l.ctx, *l.runtime)) return true;
    WriteLog(l.ctx, PROXY, CRITICAL, "ERROR: proxy %s try to auto detect failed", l.name);
    return false;
}

// The client process starts in the listener's relay loop and takes no
// thread of its own: the listener is back at its accept at once.
// False, with the client left in client, when it could not be started.
bool StartClientProcess(Listener& l, std::optional<int32_t> slot, UniqueFd& client) {
    ProcessMailParam param;
    param.protocol = l.protocol;
    param.clientTls = l.tls;
    param.slot = slot;
    param.client = std::move(client);
    param.candidates = l.candidates;
    if (ProcessMailThread(l.ctx, param, *l.runtime) == ProxyResult::Ok) return true;
    client = std::move(param.client);
    return false;
}

// The slot's lines are written before the hand-over: the relay loop may
// have served the client before it returns. A client whose row is full goes
// to the loop all the same: a mail client that ends its session and connects
// again at once may be accepted before its old session has finished ending,
// and the loop, which ends that session, has it wait for the slot or refuses
// it, without this thread waiting.
void HandOver(Listener& l, UniqueFd client) {
    std::optional<int32_t> slot = TakeClientSlot(l.ctx, l.row, client.Get());
    if (StartClientProcess(l, slot, client)) return;
    WriteLog(l.ctx, PROXY, CRITICAL, "proxy %s start to process mail failed", l.name);
    l.ctx.clientSlots.Release(l.row, client.Get());
}

// One accepted client; false when the listener must end.
bool ServeClient(Listener& l, UniqueFd client) {
    WriteLog(l.ctx, PROXY, DUMP, "proxy %s accept client %d", l.name, client.Get());
    SetNoDelay(client.Get());
    bool manual = l.ctx.userConfig.IS_MANUAL_DETECT;
    if (!RefreshCandidates(l, manual, client)) return AfterFailedRead(l, manual);
    WriteLog(l.ctx, PROXY, DUMP, "proxy %s mail server num = %d", l.name, l.candidates.Count());
    if (l.candidates.Empty()) {
        WriteLog(l.ctx, PROXY, DUMP, "proxy %s no mail server in record", l.name);
        return true;
    }
    HandOver(l, std::move(client));
    return true;
}

void StartListening(Listener& l, const UniqueFd& listening) {
    l.runtime->listenSocket = listening.Get();
    l.ctx.clientSlots.Clear(l.row);
    PostProxyInfoLine(l.ctx, "proxy %s at port %d start\r\n", l.name, l.port);
    WriteLog(l.ctx, PROXY, MINOR, "proxy %s at port %d start", l.name, l.port);
}

// Returns when the listener must end: true on a fatal failure, false when told to stop.
bool AcceptLoop(Listener& l, const UniqueFd& listening) {
    for (;;) {
        UniqueFd client(accept4(listening.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (l.runtime->stop) return false;
        if (!client) {
            WriteLog(l.ctx, PROXY, CRITICAL, "ERROR: proxy %s accept client failed(%d)", l.name, errno);
            std::this_thread::sleep_for(kAcceptRetryPause);
            continue;
        }
        if (!ServeClient(l, std::move(client))) return true;
    }
}

ProxyResult EndListener(Listener& l, UniqueFd listening, bool fatal) {
    l.runtime->listenSocket = -1;
    listening.Reset();
    if (fatal) WriteLog(l.ctx, PROXY, CRITICAL, "proxy %s unexpectedly end", l.name);
    return ProxyResult::Ok;
}

// The settings repair any address that is not dotted IPv4; a context that
// never loaded them has none and keeps the listener off the network.
std::string ListenAddress(AppContext& ctx) {
    std::string address = ctx.userConfig.LISTEN_ADDRESS.Get();
    return address.empty() ? kDefaultListenAddress : address;
}

}  // namespace

ProxyResult RunProxyListener(AppContext& ctx, const ListenParam* param, std::shared_ptr<ProxyRuntime> runtime) {
    if (param == nullptr || runtime == nullptr) return ProxyResult::MissingArgument;
    if (param->protocol < 0 || param->protocol >= kProtocolCount) return ProxyResult::MissingArgument;
    const int32_t row = ListenerIndex(param->protocol, param->tls);
    Listener l{ctx, runtime, param->protocol, param->port, param->tls, row, ListenerName(row), {}};
    WriteLog(ctx, PROXY, DUMP, "proxy %s intializing", l.name);
    // A standard mail port may have been bound at start-up, while that was still allowed.
    UniqueFd listening(TakePreboundSocket(l.port));
    if (!listening) ListenTcp(ListenAddress(ctx).c_str(), l.port, kListenBacklog, listening);
    if (!listening) {
        int reason = errno;
        WriteLog(ctx, PROXY, CRITICAL, "ERROR: proxy %s start to listen failed(%d)", l.name, reason);
        // Only the log would know otherwise, and the user would never learn
        // why the mail client cannot connect.
        PostProxyInfoLine(ctx, "proxy %s cannot listen on port %d: %s\r\n", l.name, l.port,
                          strerrordesc_np(reason));
        return EndListener(l, UniqueFd(), true);
    }
    StartListening(l, listening);
    bool fatal = AcceptLoop(l, listening);
    return EndListener(l, std::move(listening), fatal);
}

void ProxyListenThread(AppContext& ctx, const ListenParam& param, std::shared_ptr<RelayLoop> relays) {
    auto runtime = std::make_shared<ProxyRuntime>();
    if (relays) runtime->relays = std::move(relays);
    RunProxyListener(ctx, &param, runtime);
    // The loop runs on for the other listeners, and the sessions of this one
    // still use its runtime until they end.
    while (runtime->workers > 0) std::this_thread::sleep_for(kAcceptRetryPause);
}
