// The start and stop sequence of the services. StartServices brings up the
// proxy listeners (the three plain ones and the TLS ones not turned off,
// with the certificate those present), the first detection run, the detection timer and the
// download thread in that order, and stops at the first one that cannot be
// started; CloseServices writes the last log line, closes the log and releases
// the locks. How a thread or the timer is actually started is left to a
// ServiceStarter, so that the sequence is the same with the real threads and
// with a test's fakes.
#pragma once

#include <cstdint>
#include <string>

#include "context/AppContext.h"

class ServiceStarter {
public:
    virtual ~ServiceStarter() = default;
    // Each returns false when the thread or timer could not be started.
    virtual bool StartListener(AppContext& ctx, const ListenParam& param) = 0;
    virtual bool StartAutoDetect(AppContext& ctx, DetectMode mode) = 0;
    virtual bool StartDetectTimer(AppContext& ctx, int32_t periodMs) = 0;
    virtual bool StartAutoDownload(AppContext& ctx) = 0;
    // Moves the running listener (by ListenerIndex) to address:port: the new
    // place is bound first, so that when it cannot be (false, reason says
    // why) the old listener goes on as it was. Port 0 closes a TLS listener;
    // a closed one opens at its new port.
    virtual bool MoveListener(AppContext& ctx, int32_t listener, int32_t port, const std::string& address,
                              std::string& reason) {
        (void)ctx, (void)listener, (void)port, (void)address;
        reason = "listeners cannot move in this program";
        return false;
    }
};

void CreateLocks(AppContext& ctx);

// The port the settings give the listener (by ListenerIndex); 0 for a
// closed TLS listener.
int32_t ListenerPort(const UserConfig& cfg, int32_t listener);
// True when some TLS listener is open in the settings.
bool AnyTlsListener(const UserConfig& cfg);
void StartServices(AppContext& ctx, ServiceStarter& starter);
void CloseServices(AppContext& ctx);

// One expiry of the detection timer: a background detection run that waits
// and retries quietly when the Internet cannot be reached.
void OnDetectTimer(AppContext& ctx, ServiceStarter& starter);
