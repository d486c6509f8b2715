// TlsServerContext is the process's one TLS server set-up: the side of the
// local implicit-TLS ports that mail clients connect to. It presents the
// user's own certificate, speaks TLS 1.2 and 1.3 only, and issues session
// tickets, so that a mail client that reconnects every few minutes resumes
// instead of running a full handshake each time.
//
// The certificate can be replaced while clients connect (a renewal): a new
// library context is made for it and swapped in, and connections already
// made keep the old one, which the library frees after the last of them.
// It lives in the process state and is passed by reference; all threads
// use it at once.
#pragma once

#include <string>

#include "net/NetResultCodes.h"
#include "platform/Mutex.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TlsServerContext {
public:
    TlsServerContext() = default;
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // Presents the certificate and key (PEM texts) from now on: Ok,
    // TlsInitFailure, TlsContextFailure, or CertificateUnusable when the two
    // cannot be read or do not belong together (the old pair then stays).
    NetResult Use(const std::string& certificatePem, const std::string& keyPem) EXCLUDES(lock_);
    // True once a certificate is in use.
    bool Ready() const EXCLUDES(lock_);
    // The certificate in use (PEM), empty before the first Use.
    std::string CertificatePem() const EXCLUDES(lock_);

    // A server-side connection object, or null before the first Use. The
    // caller frees it with SSL_free.
    SSL* NewConnection() EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    SSL_CTX* context_ GUARDED_BY(lock_) = nullptr;
    std::string certificatePem_ GUARDED_BY(lock_);
};
