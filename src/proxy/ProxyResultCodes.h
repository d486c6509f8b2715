// The negative results of the proxy's socket and TLS operations and of the
// server choice. The operations themselves never log; their callers write
// the log line that goes with the code.
#pragma once

#include <cstdint>

inline constexpr int32_t kProxyNetFailure = -1;         // address, bind, listen or connect
inline constexpr int32_t kProxySocketFailure = -4;      // the socket cannot be created
inline constexpr int32_t kProxyConnectFailure = -5;     // the TCP connect failed
inline constexpr int32_t kProxyWaitTimeout = -6;        // no data in time, or the wait failed
inline constexpr int32_t kProxyTlsInitFailure = -10;
inline constexpr int32_t kProxyTlsContextFailure = -11;
inline constexpr int32_t kProxyTlsObjectFailure = -12;
inline constexpr int32_t kProxyHandshakeFailure = -13;
inline constexpr int32_t kProxyPrepareFailure = -19;    // a candidate's TLS preparation failed
inline constexpr int32_t kProxyCandidateFailure = -20;  // a candidate could not be connected
inline constexpr int32_t kProxyMissingArgument = -51;
