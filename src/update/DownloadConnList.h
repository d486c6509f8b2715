// DownloadConnList fetches the published connection list once: a GET of
// DOWNLOAD_PATH on DOWNLOAD_SERVER ("host", "http://host" or "https://host",
// the last with the certificate checks of every TLS server) with the user
// agent "My Session", through the proxy settings of the environment.
// Redirects are followed only to the same scheme, host and port. A body is
// kept only when the status is 200, it is whole (at most 64 KiB, exactly its
// Content-Length, its last line ended), not empty, signed when
// LIST_PUBLIC_KEY is set (DOWNLOAD_PATH + ".sig") and it passes
// ValidateDownloadedList; it is then also written to "NewQuilloMark.conf"
// without CR. A list that is not whole never reaches state, so the list in
// use stays. Failures are logged (DOWNLOAD, MINOR) here.
#pragma once

#include <cstdint>

#include "update/DownloadState.h"
#include "update/UpdateResult.h"

struct CoreContext;

inline constexpr int32_t kDownloadPort = 80;

// Succeeded when a usable list was received (also when "NewQuilloMark.conf"
// could not be written: the list stays usable in memory), Failed on any
// failure. A whole, signed body reaches state even when its parse fails.
// The product uses port 80 (443 for https); tests pass another.
DownloadOutcome DownloadConnList(CoreContext& ctx, DownloadState& state, int32_t port = kDownloadPort);
