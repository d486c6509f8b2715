// CoreContext is the part of the process state that the runtime foundation
// owns: the base directory, the settings, the message table, the key material
// of the protected settings, the log, and the one TLS client set-up that every
// upstream connection (probes, report, relays) shares. Every later layer's state extends it,
// and everything is passed by reference, so a test builds its own.
#pragma once

#include <string>

#include "core/LogState.h"
#include "core/MailCodeKeys.h"
#include "core/MessageTable.h"
#include "core/UserConfig.h"
#include "net/TlsClientContext.h"

inline constexpr std::size_t kMaxPathLength = 259;

struct CoreContext {
    CoreContext() = default;
    CoreContext(const CoreContext&) = delete;
    CoreContext& operator=(const CoreContext&) = delete;
    virtual ~CoreContext() = default;

    std::string baseDirectory;      // at most 259 characters; written before any thread starts
    UserConfig userConfig{};        // zero-filled until LoadUserConfig
    MessageTable messageTable;
    MailCodeKeys mailCodeKeys{};
    LogState log;
    TlsClientContext tlsClient;
};

// baseDirectory followed by name (which begins with "/"), cut to 259
// characters as every data file path is.
inline std::string DataFilePath(const CoreContext& ctx, const char* name) {
    std::string path = ctx.baseDirectory + name;
    if (path.size() > kMaxPathLength) path.resize(kMaxPathLength);
    return path;
}
