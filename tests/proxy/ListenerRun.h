// Runs a proxy listener in-process on a free port for one test and, at the
// end, stops it and waits until its client processes are gone, so that no
// thread outlives the test's context.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "proxy/LoopbackSockets.h"
#include "proxy/ProxyListenThread.h"
#include "proxy/ProxyRuntime.h"

namespace proxytest {

class ListenerRun {
public:
    // tls: the protocol's TLS listener, whose client handshakes have
    // handshakeSeconds.
    ListenerRun(AppContext& ctx, int32_t protocol, RelayTimeouts timeouts = RelayTimeouts{20},
                int32_t port = 0, bool tls = false, int32_t handshakeSeconds = kHandshakeSeconds)
        : runtime(std::make_shared<ProxyRuntime>()) {
        runtime->timeouts = timeouts;
        runtime->connectBounds.handshakeSeconds = handshakeSeconds;
        param.tls = tls;
        runtime->startDetection = [this](AppContext&, DetectMode mode) {
            ++detections;
            if (mode == DetectMode::OnDemand) ++onDemand;
            return detectionStarts.load();
        };
        param.protocol = protocol;
        param.port = port != 0 ? port : loopback::FreePort();
        thread_ = std::thread([this, &ctx] {
            result = RunProxyListener(ctx, &param, runtime);
            ended = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (runtime->listenSocket < 0 && !ended && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~ListenerRun() { Stop(); }
    ListenerRun(const ListenerRun&) = delete;
    ListenerRun& operator=(const ListenerRun&) = delete;

    int port() const { return param.port; }
    int Connect() const { return loopback::Connect(param.port); }

    // Stops accepting, cuts the clients still served (the loop that runs
    // them goes) and waits for every client process to end.
    void Stop() {
        if (!thread_.joinable()) return;
        runtime->stop = true;
        // A blocked accept returns once its socket is shut down.
        int sock = runtime->listenSocket.load();
        if (sock >= 0) shutdown(sock, SHUT_RDWR);
        thread_.join();
        runtime->relays.reset();
        while (runtime->workers > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool WaitEnded(std::chrono::milliseconds timeout) const {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (!ended && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ended;
    }

    std::shared_ptr<ProxyRuntime> runtime;
    ListenParam param;
    std::atomic<int> detections{0};
    std::atomic<int> onDemand{0};  // of the detections, those asked for on demand
    std::atomic<bool> detectionStarts{true};
    std::atomic<bool> ended{false};
    std::optional<ProxyResult> result;  // once the listener has ended

private:
    std::thread thread_;
};

}  // namespace proxytest
