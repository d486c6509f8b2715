// The negative results of the proxy's socket and TLS operations and of the
// server choice. The transport's codes are the shared ones under the names
// the proxy has always used; the operations themselves never log, their
// callers write the log line that goes with the code.
#pragma once

#include <cstdint>

#include "net/NetResultCodes.h"

inline constexpr int32_t kProxyNetFailure = kNetFailure;  // address, bind, listen or connect
inline constexpr int32_t kProxySocketFailure = kNetSocketFailure;
inline constexpr int32_t kProxyConnectFailure = kNetConnectFailure;
inline constexpr int32_t kProxyWaitTimeout = kNetWaitTimeout;
inline constexpr int32_t kProxyTlsInitFailure = kNetTlsInitFailure;
inline constexpr int32_t kProxyTlsContextFailure = kNetTlsContextFailure;
inline constexpr int32_t kProxyTlsObjectFailure = kNetTlsObjectFailure;
inline constexpr int32_t kProxyHandshakeFailure = kNetHandshakeFailure;
inline constexpr int32_t kProxyPrepareFailure = -19;    // a candidate's TLS preparation failed
inline constexpr int32_t kProxyCandidateFailure = -20;  // a candidate could not be connected
inline constexpr int32_t kProxyMissingArgument = kNetMissingArgument;
