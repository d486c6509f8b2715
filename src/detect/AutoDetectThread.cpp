#include "detect/AutoDetectThread.h"

int AutoDetectThread(AppContext& ctx, const char* listPath) {
    (void)ctx;
    (void)listPath;
    return 0;
}
