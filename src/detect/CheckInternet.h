// CheckInternet tells a detection run whether the Internet can be reached at
// all, so that an offline machine does not mark every candidate as failed: it
// asks the configured web host (TEST_INTERNET_SERVER, TEST_INTERNET_PORT) for
// "index.html" and counts only a final status of 200, after redirects, as
// reachable. The system's proxy settings (http_proxy, no_proxy) apply.
#pragma once

#include <cstdint>

#include "detect/DetectionResult.h"

struct CoreContext;

// Bounds of the same order as the desktop platform's defaults.
inline constexpr long kInternetConnectTimeoutMs = 60000;
inline constexpr long kInternetRequestTimeoutMs = 120000;

// Ok when the host answered 200, InternetCheckFailed on any other status or
// failure (logged).
DetectionResult CheckInternet(CoreContext& ctx);
DetectionResult CheckInternet(CoreContext& ctx, long connectTimeoutMs, long requestTimeoutMs);
