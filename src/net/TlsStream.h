// TlsStream is one TLS connection on a connected socket: the one holder of
// its connection object. As a client (Attach), made from the process's
// TlsClientContext, it sends the server name for a host name (never for an
// address literal) and offers the destination's last session. As a server
// (Accept), made from the process's TlsServerContext, it ends the TLS of a
// mail client on a local port; everything after the handshake is the same.
//
// The socket is non-blocking from the handshake on and every call takes a
// deadline, so no wait is unbounded. One thread uses a stream at a time: a
// probe's dialogue, or the relay loop for the sessions it runs. An idle
// stream costs nothing: a read that finds nothing buffered waits on the
// socket before it calls the library.
//
// The stream does not own the socket: whoever opened it closes it, before or
// after Release.
#pragma once

#include <cstdint>
#include <string>

#include "net/NetResultCodes.h"
#include "net/TlsClientContext.h"
#include "net/TlsServerContext.h"
#include "platform/PollWait.h"

// What a call that could not go on needs from the socket first.
enum class SocketWait : uint8_t {
    None,      // nothing: the call succeeded, reached the end of data or failed
    Readable,  // the peer's records: the socket must turn readable
    Writable,  // room for ours: the socket must turn writable
};

class TlsStream {
public:
    TlsStream() = default;
    ~TlsStream() { Release(); }
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Makes the connection object for sock, bound for host at port: Ok,
    // TlsInitFailure or TlsContextFailure (the context cannot be made), or
    // TlsObjectFailure.
    NetResult Attach(TlsClientContext& context, int sock, const char* host, int32_t port);
    // Makes the server-side connection object for sock, a mail client's
    // connection, and makes the socket non-blocking for HandshakeSome: Ok,
    // or TlsObjectFailure (also before the context has a certificate).
    NetResult Accept(TlsServerContext& context, int sock);
    bool Attached() const { return tls_ != nullptr; }
    // Frees the connection object; the socket stays as it is.
    void Release();
    // Trades streams with other, as when one of several connections under
    // way becomes the one in use; each stays on its own socket number.
    void Swap(TlsStream& other) noexcept;

    // Makes the socket non-blocking and runs the client handshake until
    // deadline, then has the context judge the server's certificate. True on
    // success; on failure errno holds the system's error when one caused it,
    // EPERM when the certificate was refused (Refusal says why), 0 otherwise.
    bool Handshake(Deadline deadline);
    // True when the handshake resumed an earlier session.
    bool SessionReused() const;
    // What the certificate check of the last handshake found, and its details.
    PeerVerdict Verdict() const { return verdict_; }
    const CertificateRefusal& Refusal() const { return refusal_; }

    // Bytes read (1 to size), 0 at the end of the peer's data, or -1 with
    // errno: EAGAIN when nothing came before deadline, otherwise the failure.
    int32_t Read(void* buffer, int32_t size, Deadline deadline);
    // One whole write of length bytes: length, or -1 with errno: ETIMEDOUT
    // when it could not be written before deadline, otherwise the failure.
    int32_t Write(const void* data, int32_t length, Deadline deadline);
    // Ok as soon as a Read will not wait (data, the peer's end, or a failure
    // the read reports), WaitTimeout at the deadline or when the wait fails.
    // Records without data (session tickets) do not count.
    NetResult WaitReadable(Deadline deadline);
    // Sends the close-notify, with a short bound; the socket stays open.
    void ShutdownSend();

    // For an owner that waits on the socket itself, as an event loop does:
    // one library call each, never a wait. A call that cannot go on fails
    // with errno EAGAIN and says in wait what the socket must do first.
    //
    // 1 once the handshake is done and, as a client, the server's
    // certificate trusted, or -1 (errno EPERM for a refused certificate). The socket must already be
    // non-blocking. A handshake that fails for good forgets the session it
    // offered, as Handshake does.
    int32_t HandshakeSome(SocketWait& wait);
    // Bytes read (1 to size), 0 at the end of the peer's data, or -1.
    int32_t ReadSome(void* buffer, int32_t size, SocketWait& wait);
    // Bytes written (whole records, at least one), or -1. After EAGAIN the
    // retry must offer the same bytes again, though they may have moved.
    int32_t WriteSome(const void* data, int32_t length, SocketWait& wait);
    // True when the library holds data already read off the socket: a read
    // goes on without the socket turning readable.
    bool HasBuffered() const { return buffered_; }
    // Sends the close-notify when the socket takes it at once; never waits.
    void ShutdownSendNow();

private:
    // What one library call left behind, taken before anything else could
    // change the thread's error state.
    struct Outcome {
        int result;
        int tlsError;
        int sysError;
    };
    static const Outcome kNothingBuffered;
    // Runs one library call and notes whether it left records buffered.
    template <typename Call>
    Outcome Run(Call call);
    Outcome SendCloseNotify();
    // The outcome of one call that does not wait, as ReadSome and WriteSome report it.
    static int32_t WithoutWaiting(const Outcome& outcome, SocketWait& wait);
    // Waits as outcome asks, until deadline. False with errno set when the
    // outcome is final or the deadline passed (EAGAIN).
    bool Await(const Outcome& outcome, Deadline deadline);

    SSL* tls_ = nullptr;
    int sock_ = -1;
    TlsClientContext* context_ = nullptr;
    // Whether the last call left records in the library, so that a read
    // would not have to wait for the socket.
    bool buffered_ = false;
    bool server_ = false;  // made by Accept: the peer is a mail client
    std::string destination_;  // "host:port", the key of its sessions
    std::string host_;
    int32_t port_ = 0;
    PeerVerdict verdict_ = PeerVerdict::Trusted;
    CertificateRefusal refusal_;

    // One step of the handshake of the stream's side.
    int StepHandshake();
    // The certificate check after a completed handshake; false (errno EPERM)
    // when refused, and the session is then never offered again.
    bool Trusted();
};
