#include "update/AutoDownloadThread.h"

void AutoDownloadThread(AppContext& ctx) { AutoDownloadThread(ctx, AutoDownloadOptions{}); }

void AutoDownloadThread(AppContext& ctx, const AutoDownloadOptions& options) {
    AutoDownload update(ctx, options);
    update.Run();
}
