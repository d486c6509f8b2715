// A protocol's row of client slots holds the sockets of the mail clients its
// listener has handed to client processes, -1 for a free entry; it caps the
// clients of one protocol at 32. The caller holds the row's protocolLock.
#pragma once

#include <cstdint>

#include "context/AppContext.h"

// Index of the first free entry of row (kClientSlotCount entries), -1 when
// all are taken, -51 without a row.
int32_t FindFreeSlot(const int* row);

// Frees the first entry holding sock and returns its index; -1 when no entry
// holds it, -51 without a row.
int32_t ReleaseSlot(int* row, int sock);

// Puts sock in the first free entry of the protocol's row, under the row's
// lock, and logs the entry taken; its index, -1 when the row is full. With
// clientGone, a full row also tells whether some client of it has gone.
int32_t TakeSlot(AppContext& ctx, int32_t protocol, int sock, bool* clientGone);

// True when the mail client of some taken entry of row has ended its side
// of the connection (its end of data or a reset has come): that session is
// ending and its entry is about to be freed.
bool AnyClientGone(const int* row);
