#include "proxy/ClientSlots.h"

#include "context/AppContext.h"
#include "proxy/ProxyResultCodes.h"

int32_t FindFreeSlot(const int* row) {
    if (row == nullptr) return kProxyMissingArgument;
    for (int i = 0; i < kClientSlotCount; ++i)
        if (row[i] == -1) return i;
    return -1;
}

int32_t ReleaseSlot(int* row, int sock) {
    if (row == nullptr) return kProxyMissingArgument;
    for (int i = 0; i < kClientSlotCount; ++i) {
        if (row[i] == sock) {
            row[i] = -1;
            return i;
        }
    }
    return -1;
}
