// The negative results of the transport that the proxy and the probes share:
// opening a socket, connecting it, the TLS set-up and handshake, waiting for
// and reading data. The operations never log; their callers write the log
// line that goes with the code, so every caller sees the same number for the
// same failure.
#pragma once

#include <cstdint>

inline constexpr int32_t kNetFailure = -1;           // socket layer, address, bind, listen or connect
inline constexpr int32_t kNetNotAnAddress = -2;      // the host text is not a dotted IPv4 address
inline constexpr int32_t kNetSocketFailure = -4;     // the socket cannot be created
inline constexpr int32_t kNetConnectFailure = -5;    // the TCP connect failed
inline constexpr int32_t kNetWaitTimeout = -6;       // no data in time, or the wait failed
inline constexpr int32_t kNetReadFailure = -7;       // a read failed
inline constexpr int32_t kNetTlsInitFailure = -10;   // the TLS library cannot be initialised
inline constexpr int32_t kNetTlsContextFailure = -11;  // the TLS context cannot be created
inline constexpr int32_t kNetTlsObjectFailure = -12;   // the TLS connection object cannot be created
inline constexpr int32_t kNetHandshakeFailure = -13;   // the TLS handshake did not succeed
inline constexpr int32_t kNetMissingArgument = -51;    // a required argument is missing

// The longest a whole TLS handshake may take: a server that trickles it a
// byte at a time must not hold a client or a probe for ever.
inline constexpr int32_t kHandshakeSeconds = 30;
