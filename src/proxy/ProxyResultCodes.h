// The outcomes of the proxy's own operations: its listening socket, the walk
// to a server and the sessions' quiet time. A number the transport reports
// for a TLS set-up (NetResult) is logged as it stands. The operations never
// log; their callers write the log line that goes with the number.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class ProxyResult : int32_t {
    Ok = 0,
    NetFailure = -1,        // an address, port, name, bind, listen or connect that failed
    SocketFailure = -4,     // the socket cannot be created
    WaitTimeout = -6,       // a session in which nothing moved for its whole quiet time
    MissingArgument = -51,  // no argument, or a protocol that is none of the three
};

const char* ToText(ProxyResult result);
