#include "app/ThreadServiceStarter.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "detect/AutoDetectThread.h"
#include "platform/PreboundSockets.h"
#include "platform/StartThread.h"
#include "platform/UniqueFd.h"
#include "proxy/ProxyListenThread.h"
#include "update/AutoDownloadThread.h"

namespace {

constexpr int kListenBacklog = 32;

// The body of ProxyListenThread, with the runtime kept by the starter so that
// a move can stop the listener.
bool StartListenerThread(AppContext& ctx, ListenParam param, std::shared_ptr<ProxyRuntime> runtime) {
    return StartThread([&ctx, param, runtime] {
        RunProxyListener(ctx, &param, runtime);
        // Its sessions still use the runtime until they end.
        while (runtime->workers > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
}

// The accept loop wakes at the shutdown and sees stop; its sessions go on.
void StopListener(std::shared_ptr<ProxyRuntime> old) {
    if (!old) return;
    old->stop = true;
    int sock = old->listenSocket;
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
}

}  // namespace

bool ThreadServiceStarter::StartListener(AppContext& ctx, const ListenParam& param) {
    if (param.protocol < 0 || param.protocol >= kProtocolCount) return false;
    auto runtime = std::make_shared<ProxyRuntime>();
    runtime->relays = relays_;
    if (!StartListenerThread(ctx, param, runtime)) return false;
    runtimes_[ListenerIndex(param.protocol, param.tls)] = std::move(runtime);
    return true;
}

bool ThreadServiceStarter::MoveListener(AppContext& ctx, int32_t listener, int32_t port,
                                        const std::string& address, std::string& reason) {
    if (listener < 0 || listener >= kListenerCount) {
        reason = "no such listener";
        return false;
    }
    ListenParam moved{listener % kProtocolCount, port, listener >= kProtocolCount};
    if (port == 0 && moved.tls) {
        ctx.listenParams[listener].port = 0;
        StopListener(std::exchange(runtimes_[listener], nullptr));
        return true;
    }
    // Bound here, on the window thread, so that the answer is known before
    // the old listener is let go; the new listener takes this socket.
    if (PrebindListenSocket(address.c_str(), port, kListenBacklog) != PlatformResult::Ok) {
        reason = strerrordesc_np(errno);
        return false;
    }
    auto runtime = std::make_shared<ProxyRuntime>();
    runtime->relays = relays_;
    if (!StartListenerThread(ctx, moved, runtime)) {
        UniqueFd unused(TakePreboundSocket(port));
        reason = "the listener thread cannot be started";
        return false;
    }
    ctx.listenParams[listener].port = port;
    StopListener(std::exchange(runtimes_[listener], std::move(runtime)));
    return true;
}

bool ThreadServiceStarter::StartAutoDetect(AppContext& ctx, DetectMode mode) {
    return StartThread([&ctx, mode] { AutoDetectThread(ctx, DetectRequest{mode}); });
}

bool ThreadServiceStarter::StartDetectTimer(AppContext& ctx, int32_t periodMs) {
    if (periodMs <= 0) return false;
    detectTimer_.setTimerType(Qt::CoarseTimer);
    QObject::connect(&detectTimer_, &QTimer::timeout, &detectTimer_,
                     [this, &ctx] { OnDetectTimer(ctx, *this); });
    detectTimer_.start(periodMs);
    return true;
}

bool ThreadServiceStarter::StartAutoDownload(AppContext& ctx) {
    return StartThread([&ctx] { AutoDownloadThread(ctx); });
}
