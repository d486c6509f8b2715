#include "proxy/ProxyRuntime.h"

#include <chrono>

#include "detect/AutoDetectThread.h"
#include "platform/MonotonicClock.h"
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
    MonotonicClock::time_point now = MonotonicClock::now();
    {
        std::lock_guard<std::mutex> lock(ctx.detectModeLock);
        if (ctx.failoverDetectAt && now - *ctx.failoverDetectAt < std::chrono::seconds(runtime.failoverDetectSeconds))
            return false;
        ctx.failoverDetectAt = now;
        ctx.detectOnDemand = 0;
    }
    return runtime.startDetection(ctx);
}
