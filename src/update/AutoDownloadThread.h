// AutoDownloadThread is the body of the once-per-start update: it fetches a
// newer connection list and hands it over through a detection run (see
// AutoDownload). Start-up starts it once, as the last service thread;
// nothing stops it: it ends by itself, or with the process.
#pragma once

#include "context/AppContext.h"
#include "update/AutoDownload.h"

void AutoDownloadThread(AppContext& ctx);

// The same cycle with a download port or a detection run of the caller's
// choice.
void AutoDownloadThread(AppContext& ctx, const AutoDownloadOptions& options);
