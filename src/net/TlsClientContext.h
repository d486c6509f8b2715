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
#include <vector>

#include "net/KnownServers.h"
#include "net/NetResultCodes.h"
#include "net/TlsSessionCache.h"
#include "platform/Mutex.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// Why a server's certificate was refused, for the line its caller writes and
// the question the window asks.
struct CertificateRefusal {
    std::string server;       // the candidate's host, as given
    int32_t port = 0;
    std::string recorded;     // the known key's fingerprint; empty for a host name
    std::string presented;    // the presented key's fingerprint
    std::vector<std::string> names;  // the presented certificate's names
    std::string reason;       // the verifier's words, for the log
};

// What the check of one completed handshake found.
enum class PeerVerdict : uint8_t {
    Trusted,   // verified, known, or recorded now on first use
    Renewed,   // an address's new key, taken as a renewal and recorded
    Refused,   // the connection must not carry a byte
};

// True when host is written as a dotted IPv4 or an IPv6 address rather than
// a name.
bool IsAddressLiteral(const char* host);

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
    KnownServers& Known() { return known_; }

    // Set before the first Prepare (later calls do not reach a made
    // context): the organisation's CA file (PEM) trusted beside the system's,
    // empty for none, and where the known servers are recorded.
    void Configure(const std::string& caFile, const std::string& knownServersPath) EXCLUDES(prepareLock_);

    // Judges the peer of tls, a completed handshake with host at port. On
    // Refused, refusal says why; on Renewed it holds the key replaced.
    PeerVerdict CheckPeer(SSL* tls, const std::string& host, int32_t port, CertificateRefusal& refusal);

private:
    static int OnNewSession(SSL* tls, SSL_SESSION* session);

    // Makes the one context: a second thread that finds none waits for the
    // first one's instead of making its own. Read without it once made.
    Mutex prepareLock_;
    std::atomic<SSL_CTX*> context_{nullptr};
    TlsSessionCache sessions_;
    KnownServers known_;
    std::string caFile_ GUARDED_BY(prepareLock_);
};

// Makes context trust what every upstream connection trusts: the system's
// CAs and caFile (PEM) when not empty. For a TLS set-up made elsewhere (the
// list download's).
void TrustSameCas(SSL_CTX* context, const std::string& caFile);

// The lower-case hex SHA-256 of the certificate's SubjectPublicKeyInfo, or
// empty when it has none.
typedef struct x509_st X509;
std::string PublicKeyFingerprint(X509* certificate);
// The DNS names of the certificate (subjectAltName), or its common name
// when it has none.
std::vector<std::string> CertificateNames(X509* certificate);
