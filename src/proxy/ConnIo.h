// Reading, writing, waiting on and closing one end of a proxied connection,
// plain or TLS. The useTls flag, not the fields, picks the path. On a TLS
// end two threads may call at once, one reading and one writing: the end's
// TLS stream makes that safe, and a reader waiting on it sleeps until there
// is something to read. Nothing here logs.
#pragma once

#include <cstdint>

#include "proxy/ProxySocket.h"

// Bytes received (1 to size), 0 when the peer has closed, negative on
// failure with errno telling why.
int32_t RecvConn(ProxySocket* conn, char* buffer, int32_t size, bool useTls);

// One send: the number of bytes sent, which may be fewer than length, or -1
// with errno telling why (ETIMEDOUT when nothing could be sent within the
// end's send bound).
int32_t SendConn(ProxySocket* conn, const char* data, int32_t length, bool useTls);

// Shuts the socket down both ways and closes it, then releases the TLS
// objects when useTls; clears what it released.
void CloseConn(ProxySocket* conn, bool useTls);

// 1 as soon as a receive will not wait (data, the peer's close, or an error),
// -6 when nothing comes within seconds or the wait fails, -51 without conn.
// On a TLS end it counts what the TLS layer already holds.
int32_t WaitForData(ProxySocket* conn, int32_t seconds);

// Makes a receive on conn wait at most seconds: it then fails with errno
// EAGAIN. A relay that owns the reading of an end waits this way, in the
// receive itself, rather than in a separate wait before it: one system call
// (on TLS one lock) less on every chunk.
void SetReceiveTimeout(ProxySocket* conn, int32_t seconds);

// Bounds every send on conn: one that makes no progress for seconds fails.
// A peer that stops reading must not hold the sender for ever.
void SetSendTimeout(ProxySocket* conn, int32_t seconds);

// Passes an end of data on: a TLS end sends its close-notify, then the socket
// is shut down for writing. Reading from conn still works afterwards.
void ShutdownSend(ProxySocket* conn, bool useTls);

// Shuts the socket down both ways without closing it, so that every thread
// still waiting on it wakes up and ends.
void AbortConn(ProxySocket* conn);
