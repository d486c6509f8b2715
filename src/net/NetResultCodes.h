// The outcomes of the transport that the proxy and the probes share: opening
// a socket, connecting it, the TLS set-up and handshake, waiting for and
// reading data. The operations never log; their callers write the log line
// that goes with the number, so every caller shows the same number for the
// same failure.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class NetResult : int32_t {
    Ok = 0,
    Failure = -1,             // socket layer, address, bind, listen or connect
    NotAnAddress = -2,        // the host text is not a dotted IPv4 address
    SocketFailure = -4,       // the socket cannot be created
    ConnectFailure = -5,      // the TCP connect failed
    WaitTimeout = -6,         // no data in time, or the wait failed
    ReadFailure = -7,         // a read failed
    TlsInitFailure = -10,     // the TLS library cannot be initialised
    TlsContextFailure = -11,  // the TLS context cannot be created
    TlsObjectFailure = -12,   // the TLS connection object cannot be created
    HandshakeFailure = -13,   // the TLS handshake did not succeed
    CertificateRefused = -14, // the server's certificate failed its check: unverified, or not its known key
    CertificateUnusable = -15, // our own certificate or key cannot be read, or the two do not match
    CertificateUnwritable = -16, // our own certificate or key file cannot be written
    KeyGenerationFailure = -17, // a key or certificate of our own cannot be made
};

const char* ToText(NetResult result);

// The longest a whole TLS handshake may take: a server that trickles it a
// byte at a time must not hold a client or a probe for ever.
inline constexpr int32_t kHandshakeSeconds = 30;
