// ThreadServiceStarter starts the real service threads, detached, and the
// detection timer on the thread that owns it (the window thread's event loop).
#pragma once

#include <QTimer>

#include <memory>
#include <string>

#include "context/AppServices.h"
#include "proxy/ProxyRuntime.h"
#include "proxy/RelayLoop.h"

class ThreadServiceStarter : public ServiceStarter {
public:
    ThreadServiceStarter() = default;
    ThreadServiceStarter(const ThreadServiceStarter&) = delete;
    ThreadServiceStarter& operator=(const ThreadServiceStarter&) = delete;

    bool StartListener(AppContext& ctx, const ListenParam& param) override;
    bool StartAutoDetect(AppContext& ctx, DetectMode mode) override;
    bool StartDetectTimer(AppContext& ctx, int32_t periodMs) override;
    bool StartAutoDownload(AppContext& ctx) override;
    bool MoveListener(AppContext& ctx, int32_t listener, int32_t port, const std::string& address,
                      std::string& reason) override;

private:
    QTimer detectTimer_;
    // One loop runs the sessions of every listener.
    std::shared_ptr<RelayLoop> relays_ = std::make_shared<RelayLoop>();
    // The runtime of each current listener (by ListenerIndex), by which a
    // move stops it; none for a closed one.
    std::shared_ptr<ProxyRuntime> runtimes_[kListenerCount];
};
