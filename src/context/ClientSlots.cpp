#include "context/ClientSlots.h"

#include <poll.h>

namespace {

constexpr int kFree = -1;

}  // namespace

ClientSlots::ClientSlots() {
    for (int32_t listener = 0; listener < kListenerCount; ++listener) Clear(listener);
}

ClientSlots::Row* ClientSlots::RowOf(int32_t listener) {
    return listener >= 0 && listener < kListenerCount ? &rows_[listener] : nullptr;
}

void ClientSlots::Clear(int32_t listener) {
    Row* row = RowOf(listener);
    if (row == nullptr) return;
    MutexLock hold(row->lock);
    for (int& entry : row->entries) entry = kFree;
}

std::optional<int32_t> ClientSlots::TakeSlot(int32_t listener, int sock, bool* clientGone) {
    Row* row = RowOf(listener);
    if (row == nullptr || sock < 0) return std::nullopt;
    MutexLock hold(row->lock);
    std::optional<int32_t> slot = Replace(*row, kFree, sock);
    if (!slot && clientGone != nullptr) *clientGone = AnyClientGone(*row);
    return slot;
}

std::optional<int32_t> ClientSlots::Release(int32_t listener, int sock) {
    Row* row = RowOf(listener);
    if (row == nullptr || sock < 0) return std::nullopt;
    MutexLock hold(row->lock);
    return Replace(*row, sock, kFree);
}

std::optional<int32_t> ClientSlots::Replace(Row& row, int from, int to) {
    for (int32_t i = 0; i < kClientSlotCount; ++i) {
        if (row.entries[i] != from) continue;
        row.entries[i] = to;
        return i;
    }
    return std::nullopt;
}

bool ClientSlots::AnyClientGone(const Row& row) {
    pollfd taken[kClientSlotCount];
    nfds_t count = 0;
    for (int entry : row.entries)
        if (entry >= 0) taken[count++] = pollfd{entry, POLLRDHUP, 0};
    if (poll(taken, count, 0) <= 0) return false;
    for (nfds_t i = 0; i < count; ++i)
        if (taken[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
    return false;
}
