#include "proxy/ClientSlots.h"

#include <mutex>

#include <poll.h>

#include "catalogue/ProtocalInfo.h"
#include "context/AppContext.h"
#include "core/WriteLog.h"
#include "proxy/ProxyResultCodes.h"

int32_t FindFreeSlot(const int* row) {
    if (row == nullptr) return CodeOf(ProxyResult::MissingArgument);
    for (int i = 0; i < kClientSlotCount; ++i)
        if (row[i] == -1) return i;
    return -1;
}

int32_t ReleaseSlot(int* row, int sock) {
    if (row == nullptr) return CodeOf(ProxyResult::MissingArgument);
    for (int i = 0; i < kClientSlotCount; ++i) {
        if (row[i] == sock) {
            row[i] = -1;
            return i;
        }
    }
    return -1;
}

int32_t TakeSlot(AppContext& ctx, int32_t protocol, int sock, bool* clientGone) {
    int32_t slot;
    {
        std::lock_guard<std::mutex> lock(ctx.protocolLock[protocol]);
        int* row = ctx.clientSlots[protocol];
        slot = FindFreeSlot(row);
        if (slot >= 0) row[slot] = sock;
        if (slot < 0 && clientGone != nullptr) *clientGone = AnyClientGone(row);
    }
    if (slot < 0) return slot;
    const char* name = ProtocolTypeName(protocol);
    WriteLog(ctx, PROXY, DUMP, "proxy %s in avail index=%d", name, slot);
    WriteLog(ctx, PROXY, MINOR, "using %s service", name);
    return slot;
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
