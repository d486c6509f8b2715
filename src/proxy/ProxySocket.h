// ProxySocket is one end of a proxied connection: the mail client's end
// (always plain) or the upstream server's end (TLS when the candidate says
// so). A client process sets its two ends up; from then on the relay loop
// alone reads and writes them, so an end is never used by two threads at
// once. The TLS stream makes the record non-copyable: whoever holds the
// session owns its two ends.
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
