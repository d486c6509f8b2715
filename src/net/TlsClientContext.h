// TlsClientContext is the process's one TLS client set-up, shared by every
// connection to an upstream server: the probes, the log report and the
// relays. Creating a client context is costly and a context per connection
// would forget every session, so the context is made once, on first use, and
// keeps a session cache: a reconnection to the same destination resumes the
// last session instead of running a full handshake. Like every other server
// of these connections it accepts whatever certificate the server presents.
// It lives in the process state and is passed by reference; all threads use
// it at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/NetResultCodes.h"
#include "net/TlsSessionCache.h"
#include "platform/Mutex.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TlsClientContext {
public:
    explicit TlsClientContext(std::size_t sessionLimit = TlsSessionCache::kDefaultLimit);
    ~TlsClientContext();
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    // Makes the context on first use: Ok, TlsInitFailure or
    // TlsContextFailure. A failure is tried again next time.
    NetResult Prepare() EXCLUDES(prepareLock_);

    // A connection object for destination ("host:port"), offering the last
    // session of that destination, or null (Prepare first). The caller frees
    // it with SSL_free after every use of destination has ended: the new
    // sessions the server sends are filed under that text.
    SSL* NewConnection(const std::string* destination);

    TlsSessionCache& Sessions() { return sessions_; }

private:
    static int OnNewSession(SSL* tls, SSL_SESSION* session);

    // Makes the one context: a second thread that finds none waits for the
    // first one's instead of making its own. Read without it once made.
    Mutex prepareLock_;
    std::atomic<SSL_CTX*> context_{nullptr};
    TlsSessionCache sessions_;
};
