#include "proxy/ProxyRuntime.h"

#include <chrono>

#include <sys/socket.h>

#include "detect/AutoDetectThread.h"
#include "platform/StartThread.h"

bool ProxyRuntime::StartDetectionThread(AppContext& ctx) {
    return StartThread([&ctx] { AutoDetectThread(ctx, nullptr); });
}

bool RequestDetection(AppContext& ctx, const ProxyRuntime& runtime) {
    {
        std::lock_guard<std::mutex> lock(ctx.detectModeLock);
        ctx.detectOnDemand = 1;
    }
    return runtime.startDetection(ctx);
}

bool RequestFailoverDetection(AppContext& ctx, const ProxyRuntime& runtime) {
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    {
        std::lock_guard<std::mutex> lock(ctx.detectModeLock);
        if (ctx.failoverDetectMillis != 0 && now - ctx.failoverDetectMillis < runtime.failoverDetectSeconds * 1000LL)
            return false;
        ctx.failoverDetectMillis = now;
        ctx.detectOnDemand = 0;
    }
    return runtime.startDetection(ctx);
}

void StopListener(ProxyRuntime& runtime) {
    runtime.stop = true;
    // A blocked accept returns once its socket is shut down.
    int sock = runtime.listenSocket.load();
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
}
