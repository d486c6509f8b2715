// The plain TCP operations of the proxy: the listening socket of a listener,
// the host resolution of an upstream server's name and the option every
// relayed socket gets. They keep no state, may run in any number of
// threads at once, and report failure by the proxy's result codes alone.
#pragma once

#include <cstdint>

#include <netinet/in.h>

#include "platform/ConnectWithin.h"

#include "platform/UniqueFd.h"
#include "proxy/ProxyResultCodes.h"


// Opens into listening a socket listening on the local IPv4 address (dotted
// text; "0.0.0.0" for every address) at port with backlog: Ok, NetFailure
// (no such address, port 0, bind or listen failed; errno tells why) or
// SocketFailure. Addresses in TIME_WAIT from an earlier run do not block the
// port; a live listener does.
ProxyResult ListenTcp(const char* address, int32_t port, int32_t backlog, UniqueFd& listening);

// Forwarded chunks go out at once: the relay never waits to gather more.
void SetNoDelay(int sock);

// Probes the peer after idleSeconds without traffic, every intervalSeconds,
// and fails the connection (ETIMEDOUT) after probes unanswered ones; values
// of 0 or less leave the socket as it is.
void SetKeepAlive(int sock, int32_t idleSeconds, int32_t intervalSeconds, int32_t probes);
