// ProxySocket is one end of a proxied connection: the mail client's end
// (always plain) or the upstream server's end (TLS when the candidate says
// so). The listener accepts the client's end; the server's end is set up on
// the relay loop by the client process's walk over the candidates, and from
// then on the loop alone reads and writes both, so an end is never used by
// two threads at once. The TLS stream makes the record non-copyable: whoever
// holds the session owns its two ends.
#pragma once

#include <cstdint>

#include "net/TlsStream.h"

struct ProxySocket {
    ProxySocket() = default;
    ProxySocket(const ProxySocket&) = delete;
    ProxySocket& operator=(const ProxySocket&) = delete;

    int32_t sock = -1;      // 0 or less: none (or a failure code after PrepareConn)
    TlsStream tls;          // attached only on a TLS connection
    bool sendShut = false;  // shut down for sending already: closing needs no shutdown
};
