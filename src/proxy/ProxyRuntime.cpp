#include "proxy/ProxyRuntime.h"

#include <chrono>

#include "detect/AutoDetectThread.h"
#include "platform/MonotonicClock.h"
#include "platform/StartThread.h"

bool ProxyRuntime::StartDetectionThread(AppContext& ctx, DetectMode mode) {
    return StartThread([&ctx, mode] { AutoDetectThread(ctx, DetectRequest{mode}); });
}

bool RequestDetection(AppContext& ctx, const ProxyRuntime& runtime) {
    return runtime.startDetection(ctx, DetectMode::OnDemand);
}

bool RequestFailoverDetection(AppContext& ctx, const ProxyRuntime& runtime) {
    if (!ctx.failoverDetect.TryPass(std::chrono::seconds(runtime.failoverDetectSeconds))) return false;
    return runtime.startDetection(ctx, DetectMode::Background);
}
