// ProxySocket is one end of a proxied connection: the mail client's end
// (always plain) or the upstream server's end (TLS when the candidate says
// so). The listener accepts the client's end; the server's end is set up on
// the relay loop by the client process's walk over the candidates, and from
// then on the loop alone reads and writes both, so an end is never used by
// two threads at once. The record owns its socket and its TLS stream, so it
// never copies: whoever holds the session owns its two ends, and an end
// closes its socket once, whichever way the session goes. The client slots
// keep a copy of the client's number only to name it.
#pragma once

#include "net/TlsStream.h"
#include "platform/UniqueFd.h"

struct ProxySocket {
    ProxySocket() = default;
    ProxySocket(const ProxySocket&) = delete;
    ProxySocket& operator=(const ProxySocket&) = delete;

    UniqueFd sock;          // none until an end is accepted or connected
    TlsStream tls;          // attached only on a TLS connection, to sock
    bool sendShut = false;  // shut down for sending already: closing needs no shutdown
};
