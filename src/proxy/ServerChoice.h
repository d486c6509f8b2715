// A ServerChoice is a client process's walk over its ranked candidates,
// taken one step at a time by the relay loop so that choosing a server never
// holds a thread: TLS candidates first when the user prefers TLS, nothing at
// or after the first record whose detection failed, and each candidate
// resolved, connected and, over TLS, shaken hands with within the connect and
// handshake bounds.
//
// A candidate that has not completed within a quarter second does not hold
// the client up: the next one is started alongside it, and so on, with at
// most three attempts under way, each within its own bounds. The first to
// complete (for TLS: its handshake done) is the chosen server and the others
// are closed; of two that complete at the same time, the one ranked first
// wins. A candidate that fails lets the next start at once. The log tells of
// every failed candidate in the order the candidates were started, and of a
// candidate still under way when one ranked after it won as failed too, so
// that a silent first server reads as it always has.
//
// An address is used as it stands; a host name must be resolved by the
// system's resolver, which blocks, so the walk asks its owner to resolve it
// elsewhere and to come back with the answer; no further candidate starts
// meanwhile.
//
// The walk owns the attempts' sockets and has its owner poll them through
// PollWith, by the attempt's slot; it stops the polling of a socket before it
// closes it. The chosen socket is handed over by TakeChosen.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "catalogue/ProtocalInfo.h"
#include "catalogue/ProtocalInfoList.h"
#include "context/AppContext.h"
#include "net/NetResultCodes.h"
#include "net/TlsClientContext.h"
#include "platform/ConnectWithin.h"
#include "proxy/DataTransmission.h"
#include "proxy/ProxySocket.h"

// How long the set-up of an upstream connection may take. A server that
// drops packets must not cost the system's two-minute connect time-out, and
// one that trickles its handshake a byte at a time must not hold the client
// and its slot for ever: past either bound the attempt fails.
// Attempts a client may have under way at once, and how long the newest may
// go without completing before the next candidate is started alongside it.
inline constexpr size_t kAttemptsInFlight = 3;
inline constexpr auto kStaggerDelay = std::chrono::milliseconds(250);

struct ConnectBounds {
    int32_t connectSeconds = kConnectSeconds;  // the TCP connect
    int32_t handshakeSeconds = kHandshakeSeconds;  // the whole TLS handshake
    std::chrono::milliseconds stagger = kStaggerDelay;  // before the next candidate starts alongside
};

// Where the walk stands after a step.
enum class ChoiceStep : uint8_t {
    Waiting,    // attempts wait for their sockets or for Deadline
    Resolving,  // the next candidate's name must be resolved elsewhere (Host), then Resolved
    Chosen,     // an attempt is connected, its handshake done: Chosen() says to whom, TakeChosen hands it over
    Exhausted,  // no candidate took the connection
};

class ServerChoice {
public:
    // Asks the owner to poll fd, the socket of the attempt in slot (below
    // kAttemptsInFlight), for wait; None: not at all. False when the system
    // refused.
    using AttemptPoll = std::function<bool(size_t slot, int fd, SocketWait wait)>;

    ServerChoice(AppContext& ctx, int32_t protocol, const ProtocalInfoList& candidates,
                 const ConnectBounds& bounds);
    ServerChoice(const ServerChoice&) = delete;
    ServerChoice& operator=(const ServerChoice&) = delete;

    // Before Start; without it the owner polls AttemptSocket and AttemptWait.
    void PollWith(AttemptPoll poll) { poll_ = std::move(poll); }

    // Tries the first candidate.
    ChoiceStep Start(MonotonicClock::time_point now);
    // The attempt in slot is ready as AttemptWait asked or, with failed,
    // reported an error or a hang-up.
    ChoiceStep Ready(size_t slot, bool failed, MonotonicClock::time_point now);
    // Deadline has come: attempts past their bounds fail, the next
    // candidate may start.
    ChoiceStep Expired(MonotonicClock::time_point now);
    // The answer for Host: its IPv4 address, or none.
    ChoiceStep Resolved(bool found, in_addr address, MonotonicClock::time_point now);
    // Closes every attempt still under way; the walk is over.
    void Abandon();

    // After Chosen: moves the chosen connection into server.
    void TakeChosen(ProxySocket& server);

    // The socket of the attempt in slot and what it waits for; -1 and None
    // when the slot is free.
    int AttemptSocket(size_t slot) const;
    SocketWait AttemptWait(size_t slot) const;
    // When the walk must be asked again (Expired) if no socket speaks first;
    // the latest possible time when nothing is due.
    MonotonicClock::time_point Deadline() const;
    const std::string& Host() const { return host_; }
    const ProtocalInfo& Chosen() const { return candidates_[chosen_]; }
    // A candidate ranked before the chosen one failed.
    bool PassedFailure() const { return passedFailure_; }

private:
    enum class Phase : uint8_t { Idle, Resolving, Connecting, Handshaking, Done };
    // What went wrong with a candidate, as its log line tells.
    enum class Failure : uint8_t {
        Preparation,  // a TLS candidate's name, socket or connection object
        Connection,   // the connect, or the TLS handshake
        Certificate,  // the server's certificate was refused: not a byte goes to it
    };
    struct Attempt {
        size_t index = 0;  // the candidate
        Phase phase = Phase::Idle;
        ProxySocket end;
        SocketWait wait = SocketWait::None;
        MonotonicClock::time_point deadline = kNoDeadline;
    };
    // What became of a started candidate, kept until its line is due.
    struct Outcome {
        bool decided = false;
        bool failed = false;
        Failure failure = Failure::Connection;
        int32_t code = 0;  // of a failed preparation: the proxy's own, or the transport's
        int sock = -1;     // of a failed connect: the socket it had
        CertificateRefusal refusal;  // of a refused certificate
    };

    ChoiceStep Pump(MonotonicClock::time_point now);
    void StartNext(MonotonicClock::time_point now);
    void Connect(Attempt& a, const in_addr& address, MonotonicClock::time_point now);
    void Connected(Attempt& a, MonotonicClock::time_point now);
    void Handshake(Attempt& a);
    enum class ConnectState : uint8_t { Pending, Done, Failed };
    ConnectState CheckConnect(const Attempt& a) const;
    void Poke(Attempt& a, MonotonicClock::time_point now);
    void Await(Attempt& a, SocketWait wait, MonotonicClock::time_point deadline);
    void Fail(Attempt& a, Failure failure, int32_t code = 0);
    void Close(Attempt& a);
    void Choose(Attempt& done, MonotonicClock::time_point now);
    void LogDecided();
    void LogFailure(size_t index, const Outcome& o) const;
    size_t InFlight() const;
    bool MayStartNext() const;
    size_t SlotOf(const Attempt& a) const { return static_cast<size_t>(&a - attempts_); }

    AppContext& ctx_;
    int32_t protocol_;
    const char* name_;
    ConnectBounds bounds_;
    std::vector<ProtocalInfo> candidates_;  // in the order they are tried
    std::vector<Outcome> outcomes_;         // of the candidates started so far
    Attempt attempts_[kAttemptsInFlight];
    AttemptPoll poll_;
    size_t logged_ = 0;  // outcomes whose line, if any, has been written
    size_t chosen_ = 0;
    bool done_ = false;
    bool resolveAsked_ = false;  // the owner was told of the name under resolution
    // When the next candidate starts unless an attempt completes first.
    MonotonicClock::time_point nextStart_ = MonotonicClock::time_point::min();
    std::string host_;
    bool passedFailure_ = false;
};
