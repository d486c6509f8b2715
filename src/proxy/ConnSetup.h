// The set-up of a connection to an upstream server that may speak TLS from
// its first byte: resolve and create the socket (with its TLS stream when
// asked), then connect and shake hands. A failed step releases only what it
// created itself and clears it from the ProxySocket, so that a later
// CloseConn never releases anything twice.
#pragma once

#include <cstdint>

#include <netinet/in.h>

#include "net/NetResultCodes.h"
#include "net/TlsClientContext.h"
#include "platform/ConnectWithin.h"
#include "proxy/ProxySocket.h"

// Resolves host into address (IPv4, port in network order) and creates the
// socket of conn, with its TLS stream from tlsClient when useTls. The socket,
// or -51 or -1; on failure conn.sock holds the failure code.
int32_t PrepareConn(ProxySocket* conn, const char* host, int32_t port, sockaddr_in* address,
                    bool useTls, TlsClientContext& tlsClient);

// Creates the socket of conn and its TLS stream for host at port, from the
// process's client context: any server certificate is accepted, and the last
// session of host:port is offered. The socket, or -51, -4, -10, -11, -12.
int32_t SetupTls(ProxySocket* conn, const char* host, int32_t port, TlsClientContext& tlsClient);

// How long the set-up of an upstream connection may take. A server that
// drops packets must not cost the system's two-minute connect time-out, and
// one that trickles its handshake a byte at a time must not hold the client
// and its slot for ever: past either bound the attempt fails and the next
// candidate is tried.
struct ConnectBounds {
    int32_t connectSeconds = kConnectSeconds;  // the TCP connect
    int32_t handshakeSeconds = kHandshakeSeconds;  // the whole TLS handshake
};

// Connects conn to address and, when useTls, runs the client handshake;
// afterwards a TLS socket is non-blocking so that a reader and a writer can
// take turns on the connection object. 0, or -51, -5 (also when no answer
// came within the connect bound), -13 (also when the handshake did not end
// within its bound); on failure everything stays in conn for the caller's
// CloseConn.
int32_t ConnectConn(ProxySocket* conn, const sockaddr_in* address, bool useTls,
                    const ConnectBounds& bounds = ConnectBounds{});
