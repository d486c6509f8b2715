// ProxySocket is one end of a proxied connection: the mail client's end
// (always plain) or the upstream server's end (TLS when the candidate says
// so). The two relays of a client use the server end at the same time, one
// reading and one writing; a TLS connection object allows only one caller at
// a time, so every call on it is made under the end's own lock. That lock
// makes the record non-copyable: a client process owns its two ends and
// hands the relays pointers to them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

// Declared rather than included: the library's headers name a type UI,
// which the log's category of that name would clash with.
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

struct ProxySocket {
    ProxySocket() = default;
    ProxySocket(const ProxySocket&) = delete;
    ProxySocket& operator=(const ProxySocket&) = delete;

    int32_t sock = -1;              // 0 or less: none (or a failure code after PrepareConn)
    SSL* tls = nullptr;             // set only on a TLS connection
    SSL_CTX* tlsContext = nullptr;  // one context per connection
    std::mutex tlsLock;             // held around every call on tls, never while waiting
    int32_t sendLimitSeconds = 0;   // a send without progress this long fails; 0: no bound
    std::atomic<bool> sendShut{false};  // shut down for sending already: closing needs no shutdown
};
