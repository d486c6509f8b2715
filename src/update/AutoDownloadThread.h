// AutoDownloadThread is the body of the once-per-start update: it fetches a
// newer connection list and hands it over through a detection run.
#pragma once

#include "app/AppContext.h"

void AutoDownloadThread(AppContext& ctx);
