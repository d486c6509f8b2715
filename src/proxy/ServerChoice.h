// A ServerChoice is a client process's walk over its ranked candidates,
// taken one step at a time by the relay loop so that choosing a server never
// holds a thread: TLS candidates first when the user prefers TLS, nothing at
// or after the first record whose detection failed, and each candidate
// resolved, connected and, over TLS, shaken hands with within the connect and
// handshake bounds. The first candidate that takes the connection is the
// chosen server.
//
// An address is used as it stands; a host name must be resolved by the
// system's resolver, which blocks, so the walk asks its owner to resolve it
// elsewhere and to come back with the answer.
//
// The walk owns the server's end while it tries a candidate. A failed attempt
// is handed back open (Failed) so that the owner can stop watching the socket
// before Next closes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "catalogue/ProtocalInfo.h"
#include "catalogue/ProtocalInfoList.h"
#include "context/AppContext.h"
#include "net/NetResultCodes.h"
#include "platform/ConnectWithin.h"
#include "proxy/DataTransmission.h"
#include "proxy/ProxySocket.h"

// How long the set-up of an upstream connection may take. A server that
// drops packets must not cost the system's two-minute connect time-out, and
// one that trickles its handshake a byte at a time must not hold the client
// and its slot for ever: past either bound the attempt fails and the next
// candidate is tried.
struct ConnectBounds {
    int32_t connectSeconds = kConnectSeconds;  // the TCP connect
    int32_t handshakeSeconds = kHandshakeSeconds;  // the whole TLS handshake
};

// Where the walk stands after a step.
enum class ChoiceStep : uint8_t {
    Waiting,    // a connect or handshake waits for the server's socket (Wait, until Deadline)
    Resolving,  // the candidate's name must be resolved elsewhere (Host), then Resolved
    Failed,     // this candidate failed; its socket is still open until Next
    Chosen,     // the server's end is connected, its handshake done: Chosen() says to whom
    Exhausted,  // no candidate took the connection; the server's end is empty
};

class ServerChoice {
public:
    ServerChoice(AppContext& ctx, int32_t protocol, const ProtocalInfoList& candidates,
                 const ConnectBounds& bounds);
    ServerChoice(const ServerChoice&) = delete;
    ServerChoice& operator=(const ServerChoice&) = delete;

    // Tries the first candidate.
    ChoiceStep Start(ProxySocket& server, MonotonicClock::time_point now);
    // The socket did what Wait asked for or, with failed, reported an error
    // or a hang-up.
    ChoiceStep Ready(ProxySocket& server, bool failed, MonotonicClock::time_point now);
    // The deadline of a wait passed.
    ChoiceStep Expired();
    // The answer for Host: its IPv4 address, or none.
    ChoiceStep Resolved(ProxySocket& server, bool found, in_addr address, MonotonicClock::time_point now);
    // After Failed: logs the failure, closes the server's end and tries the
    // next candidate.
    ChoiceStep Next(ProxySocket& server, MonotonicClock::time_point now);

    SocketWait Wait() const { return wait_; }
    // Only while Waiting; the latest possible time otherwise.
    MonotonicClock::time_point Deadline() const;
    const std::string& Host() const { return host_; }
    const ProtocalInfo& Chosen() const { return candidates_[index_]; }
    // A candidate failed before the chosen one.
    bool PassedFailure() const { return passedFailure_; }

private:
    enum class Phase : uint8_t { Resolving, Connecting, Handshaking, Done };
    // What went wrong with the candidate, as its log line tells.
    enum class Failure : uint8_t {
        Preparation,  // a TLS candidate's name, socket or connection object
        Connection,   // the connect, or the TLS handshake
        Certificate,  // the server's certificate was refused: not a byte goes to it
    };

    ChoiceStep Begin(ProxySocket& server, MonotonicClock::time_point now);
    ChoiceStep Connect(ProxySocket& server, const in_addr& address, MonotonicClock::time_point now);
    ChoiceStep Connected(ProxySocket& server, MonotonicClock::time_point now);
    ChoiceStep Handshake(ProxySocket& server);
    ChoiceStep Fail(Failure failure);
    ChoiceStep Await(SocketWait wait, MonotonicClock::time_point deadline);
    void LogFailure(const ProxySocket& server) const;

    AppContext& ctx_;
    int32_t protocol_;
    const char* name_;
    ConnectBounds bounds_;
    std::vector<ProtocalInfo> candidates_;  // in the order they are tried
    size_t index_ = 0;
    Phase phase_ = Phase::Resolving;
    Failure failure_ = Failure::Connection;
    // The number logged with a failed preparation: the proxy's own, or the
    // transport's for a TLS stream that could not be made.
    int32_t failureCode_ = 0;
    SocketWait wait_ = SocketWait::None;
    MonotonicClock::time_point deadline_ = kNoDeadline;
    std::string host_;
    bool passedFailure_ = false;
};
