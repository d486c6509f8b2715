#include "app/ThreadServiceStarter.h"

#include "detect/AutoDetectThread.h"
#include "platform/StartThread.h"
#include "proxy/ProxyListenThread.h"
#include "update/AutoDownloadThread.h"

bool ThreadServiceStarter::StartListener(AppContext& ctx, const ListenParam& param) {
    // param is one of the context's records, which live as long as the process.
    return StartThread([&ctx, &param, relays = relays_] { ProxyListenThread(ctx, param, relays); });
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
