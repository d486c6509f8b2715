// DownloadConnList fetches the published connection list once: an HTTP GET
// of DOWNLOAD_PATH on DOWNLOAD_SERVER with the user agent "My Session",
// through the proxy settings of the environment. A body is kept only when
// the status is 200, it is not empty and it passes ValidateDownloadedList;
// it is then also written to "NewQuilloMark.conf" without CR. Only the first
// 2048 bytes of a body are read. Failures are logged (DOWNLOAD, MINOR) here.
#pragma once

#include <cstdint>

#include "update/DownloadState.h"
#include "update/UpdateResult.h"

struct CoreContext;

inline constexpr int32_t kDownloadPort = 80;

// Succeeded when a usable list was received (also when "NewQuilloMark.conf"
// could not be written: the list stays usable in memory), Failed on any
// failure. From
// the moment a 200 body arrives, state holds that body, whatever follows.
// The product always uses port 80; tests that cannot bind it pass another.
DownloadOutcome DownloadConnList(CoreContext& ctx, DownloadState& state, int32_t port = kDownloadPort);
