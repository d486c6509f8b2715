#include "update/AutoDownloadThread.h"

void AutoDownloadThread(AppContext& ctx) {
    (void)ctx;
}
