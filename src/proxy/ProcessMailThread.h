// A ProcessMailThread serves one accepted mail client: it walks the
// listener's snapshot of ranked candidates (TLS ones first when the user
// prefers TLS, never one at or after the first failed one), connects to the
// first upstream server that accepts, publishes it as the connection in use
// and hands the session to its listener's relay loop, which runs the two
// relays and, once both have ended, closes both ends and frees the client's
// slot. With no server to connect it tells the user, closes the client and
// frees the slot itself and, in automatic mode, asks for a detection; so it
// does, quietly and rarely, when it had to fall back past a server that
// failed to connect.
#pragma once

#include <cstdint>

#include "context/AppContext.h"
#include "catalogue/ProtocalInfo.h"
#include "catalogue/ProtocalInfoList.h"
#include "proxy/ProxyRuntime.h"
#include "proxy/ProxySocket.h"

// The argument of one client process: the client socket itself waits in the
// protocol's row of clientSlots at slot.
struct ProcessMailParam {
    int32_t protocol = SMTP;
    int32_t slot = 0;
    ProtocalInfoList candidates;
};

// One attempt on candidate at its port of protocol, within bounds; server is
// empty before and, on failure, after. 0, or -19 (TLS preparation), -20
// (connect or handshake), -51 (no server end).
int32_t ConnectCandidate(AppContext& ctx, ProxySocket* server, const ProtocalInfo& candidate,
                         int32_t protocol, const ConnectBounds& bounds = ConnectBounds{});

// -51 without param, otherwise 0 once the client's session is in the relay
// loop's hands or the client has been turned away.
int32_t ProcessMailThread(AppContext& ctx, const ProcessMailParam* param, const ProxyRuntime& runtime);
