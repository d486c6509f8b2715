// Ends for relay tests: a ProxySocket wrapping one side of a loopback TCP
// connection whose other side the test drives, and a deterministic byte
// pattern to check that what arrives is what was sent.
#pragma once

#include <string>

#include "proxy/ConnIo.h"
#include "proxy/LoopbackSockets.h"
#include "support/BlockingConn.h"

namespace proxytest {

struct PlainEnd {
    PlainEnd() {
        int port = 0;
        int listener = loopback::Listen(port);
        conn.sock.Reset(loopback::Connect(port));
        peer = loopback::Accept(listener);
        close(listener);
    }
    ~PlainEnd() {
        CloseConn(conn);
        ClosePeer();
    }
    PlainEnd(const PlainEnd&) = delete;
    PlainEnd& operator=(const PlainEnd&) = delete;
    void ClosePeer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }
    void ResetPeer() {
        if (peer >= 0) loopback::Reset(peer);
        peer = -1;
    }

    ProxySocket conn;  // what the relay uses
    int peer = -1;     // what the test drives
};

// tlsClient must outlive conn's stream.
inline bool ConnectTlsEnd(ProxySocket& conn, int port, TlsClientContext& tlsClient) {
    sockaddr_in address{};
    return PrepareConn(conn, "127.0.0.1", port, address, true, tlsClient) == NetResult::Ok &&
           ConnectConn(conn, address, true) == NetResult::Ok;
}

inline std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned x = seed;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

}  // namespace proxytest
