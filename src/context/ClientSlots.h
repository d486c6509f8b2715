// ClientSlots caps the mail clients the proxy serves at 32 per listener. A
// row per listener (each protocol's plain one and its TLS twin), under its
// own lock, holds the sockets of the clients its listener has handed to
// client processes. An entry is a copy of the number,
// never its owner: the client's session owns the socket (its ProxySocket's
// UniqueFd) and frees the entry before it closes the socket, so that a number
// the next accept hands out again never stands in two entries. The entries
// serve to tell, when a row is full, whether some client of it has gone.
#pragma once

#include <cstdint>
#include <optional>

#include "catalogue/ProtocalInfo.h"
#include "context/ListenerIndex.h"
#include "platform/Mutex.h"

inline constexpr int kClientSlotCount = 32;

class ClientSlots {
public:
    ClientSlots();
    ClientSlots(const ClientSlots&) = delete;
    ClientSlots& operator=(const ClientSlots&) = delete;

    // Each call names its row by ListenerIndex.
    //
    // Frees every entry of the row, as a listener does that starts.
    void Clear(int32_t listener);
    // Puts sock in the first free entry of the row: its index, or
    // none when every entry is taken (or there is no such protocol or sock).
    // With clientGone, a full row also tells whether the mail client of some
    // entry has ended its side of the connection (its end of data or a reset
    // has come): that session is ending and its entry is about to be freed.
    std::optional<int32_t> TakeSlot(int32_t listener, int sock, bool* clientGone = nullptr);
    // Frees the first entry holding sock: its index, or none when no entry
    // of the row holds it.
    std::optional<int32_t> Release(int32_t listener, int sock);

private:
    struct Row {
        Mutex lock;
        int entries[kClientSlotCount] GUARDED_BY(lock);  // -1: free
    };
    Row* RowOf(int32_t listener);
    // Puts to in the first entry of row that holds from: its index, or none.
    static std::optional<int32_t> Replace(Row& row, int from, int to) REQUIRES(row.lock);
    static bool AnyClientGone(const Row& row) REQUIRES(row.lock);

    Row rows_[kListenerCount];
};
