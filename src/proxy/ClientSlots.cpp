#include "proxy/ClientSlots.h"

#include <poll.h>

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

bool AnyClientGone(const int* row) {
    if (row == nullptr) return false;
    pollfd taken[kClientSlotCount];
    nfds_t count = 0;
    for (int i = 0; i < kClientSlotCount; ++i)
        if (row[i] >= 0) taken[count++] = pollfd{row[i], POLLRDHUP, 0};
    if (poll(taken, count, 0) <= 0) return false;
    for (nfds_t i = 0; i < count; ++i)
        if (taken[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
    return false;
}
