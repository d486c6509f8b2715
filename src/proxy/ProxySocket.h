// ProxySocket is one end of a proxied connection: the mail client's end
// (always plain) or the upstream server's end (TLS when the candidate says
// so). The two relays of a client use the server end at the same time, one
// reading and one writing; the TLS stream makes that safe and lets the
// reader sleep until there is something to read. The stream makes the record
// non-copyable: a client process owns its two ends and hands the relays
// pointers to them.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/TlsStream.h"

struct ProxySocket {
    ProxySocket() = default;
    ProxySocket(const ProxySocket&) = delete;
    ProxySocket& operator=(const ProxySocket&) = delete;

    int32_t sock = -1;                // 0 or less: none (or a failure code after PrepareConn)
    TlsStream tls;                    // attached only on a TLS connection
    int32_t receiveLimitSeconds = 0;  // TLS: a receive that gets nothing this long fails; 0: no bound
    int32_t sendLimitSeconds = 0;     // a send without progress this long fails; 0: no bound
    std::atomic<bool> sendShut{false};  // shut down for sending already: closing needs no shutdown
};
