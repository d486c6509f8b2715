// Reading, writing, ending and closing one end of a proxied connection,
// plain or TLS. The useTls flag, not the fields, picks the path. Reads and
// writes never wait: the relay loop owns the ends of its sessions and waits
// on all of their sockets at once, so a call that cannot go on says what the
// socket must do first. Nothing here logs.
#pragma once

#include <cstdint>

#include "proxy/ProxySocket.h"

// Bytes received (1 to size), 0 when the peer has closed, -1 on failure with
// errno telling why: EAGAIN when nothing can be read now, with wait (when
// given) saying what the socket must do first.
int32_t RecvConn(ProxySocket& conn, char* buffer, int32_t size, bool useTls, SocketWait* wait = nullptr);

// Bytes sent now, which may be fewer than length (on TLS whole records), or
// -1 with errno: EAGAIN when nothing can be sent now, with wait (when given)
// saying what the socket must do first. A TLS retry after EAGAIN must offer
// the same bytes again.
int32_t SendConn(ProxySocket& conn, const char* data, int32_t length, bool useTls, SocketWait* wait = nullptr);

// Shuts the socket down both ways and closes it, then releases the TLS
// stream if one is attached; clears what it released.
void CloseConn(ProxySocket& conn);

// Passes an end of data on: a TLS end sends its close-notify if the socket
// takes it at once, then the socket is shut down for writing. Reading from
// conn still works afterwards.
void ShutdownSend(ProxySocket& conn, bool useTls);
