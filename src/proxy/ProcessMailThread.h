// A ProcessMailThread serves one accepted mail client. It hands the client,
// with the listener's snapshot of ranked candidates, to the listener's relay
// loop; a client whose row was full first waits there for a slot that is
// about to be freed, or is refused. The loop walks the candidates (TLS ones
// first when the user prefers TLS, never one at or after the first failed
// one) and connects to the first upstream server that accepts, without a
// thread waiting on the way. The client process then publishes that server
// as the connection in use; the loop runs the two relays and, once both have
// ended, the client process closes both ends and frees the client's slot.
// With no server to connect it tells the user, closes the client and frees
// the slot and, in automatic mode, asks for a detection; so it does, quietly
// and rarely, when it had to fall back past a server that failed to connect.
#pragma once

#include <cstdint>
#include <optional>

#include "context/AppContext.h"
#include "catalogue/ProtocalInfo.h"
#include "catalogue/ProtocalInfoList.h"
#include "platform/UniqueFd.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/ProxyRuntime.h"

// The argument of one client process: the client socket, which the client
// process takes over, and the entry of the protocol's row of clientSlots
// that names it. A client without a slot found its protocol's row full: the
// client process first waits for a slot on the relay loop, while the session
// of a client that has gone ends, and is refused once none can come.
struct ProcessMailParam {
    int32_t protocol = SMTP;
    bool clientTls = false;  // accepted on the protocol's TLS port
    std::optional<int32_t> slot;  // none: to come
    UniqueFd client;
    ProtocalInfoList candidates;
};

// Puts sock in the first free entry of the listener's row of client slots
// (by ListenerIndex) and logs the entry taken: its index, or none when the
// row is full. With clientGone, a full row also tells whether some client of
// it has gone.
std::optional<int32_t> TakeClientSlot(AppContext& ctx, int32_t listener, int sock, bool* clientGone = nullptr);

// MissingArgument, with the client left in param, without a client or with
// a protocol or slot out of range. Otherwise Ok, with the client taken over,
// once the client's session is in the relay loop's hands or, when the loop
// cannot run, the client has been closed. It never waits; runtime must
// outlive the sessions it starts (workers).
ProxyResult ProcessMailThread(AppContext& ctx, ProcessMailParam& param, const ProxyRuntime& runtime);
