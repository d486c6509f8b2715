// The blocking set-up of a connection to an upstream server and a bounded
// wait for data on one end, for tests that need a connected server end (to
// hand to the relay loop, or to talk to a real server as a relayed session
// does). The product never waits on a socket: its walk to a server takes one
// step at a time on the relay loop (ServerChoice), so none of this is part
// of it.
#pragma once

#include <cstdint>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/NetResultCodes.h"
#include "net/TlsClientContext.h"
#include "platform/ConnectWithin.h"
#include "platform/PollWait.h"
#include "platform/SocketLayer.h"
#include "proxy/ProxySocket.h"
#include "proxy/ServerChoice.h"
#include "proxy/TcpSocket.h"

// Resolves host into address (port in network order) and opens the socket
// of conn, with its TLS stream for host:port when useTls: Ok, Failure (no
// such host or port), SocketFailure or the TLS stream's failure. A failed
// step leaves nothing in conn.
inline NetResult PrepareConn(ProxySocket& conn, const char* host, int32_t port, sockaddr_in& address, bool useTls,
                           TlsClientContext& tlsClient) {
    address = sockaddr_in{};
    StartSocketLayer();  // a TLS write must not raise SIGPIPE
    if (host == nullptr || port < 0 || port > 65535 || !ResolveIpv4(host, address.sin_addr)) return NetResult::Failure;
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    conn.sock.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!conn.sock) return NetResult::SocketFailure;
    NetResult attached = useTls ? conn.tls.Attach(tlsClient, conn.sock.Get(), host, port) : NetResult::Ok;
    if (attached != NetResult::Ok) conn.sock.Reset();
    return attached;
}

// Connects conn to address within the connect bound and, over TLS, shakes
// hands within the handshake bound; a TLS socket is non-blocking afterwards.
// Ok, ConnectFailure or HandshakeFailure; conn keeps what it holds for the
// caller's CloseConn.
inline NetResult ConnectConn(ProxySocket& conn, const sockaddr_in& address, bool useTls,
                           const ConnectBounds& bounds = ConnectBounds{}) {
    if (ConnectWithin(conn.sock.Get(), address, bounds.connectSeconds) != 0) return NetResult::ConnectFailure;
    SetNoDelay(conn.sock.Get());
    if (useTls && !conn.tls.Handshake(DeadlineAfterSeconds(bounds.handshakeSeconds)))
        return NetResult::HandshakeFailure;
    return NetResult::Ok;
}

// True as soon as a receive will not wait (data, the peer's close, or an
// error), counting what the TLS layer already holds; false when nothing
// comes within seconds.
inline bool WaitForData(ProxySocket& conn, int32_t seconds) {
    Deadline deadline = DeadlineAfterSeconds(seconds);
    if (conn.tls.Attached()) return conn.tls.WaitReadable(deadline) == NetResult::Ok;
    return conn.sock && PollOne(conn.sock.Get(), POLLIN, deadline) > 0;
}
