#include "proxy/ServerChoice.h"

#include <cerrno>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include "core/WriteLog.h"
#include "platform/Ipv4Address.h"
#include "platform/SocketLayer.h"
#include "proxy/ConnIo.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/TcpSocket.h"

namespace {

// The candidates before the first failed one, TLS ones first when preferred.
std::vector<ProtocalInfo> WalkOrder(const ProtocalInfoList& candidates, bool preferTls) {
    std::vector<ProtocalInfo> first;
    std::vector<ProtocalInfo> deferred;
    for (const ProtocalInfo& candidate : candidates) {
        if (candidate.LinkCost == -1) break;
        (preferTls && !candidate.IsSSL ? deferred : first).push_back(candidate);
    }
    first.insert(first.end(), deferred.begin(), deferred.end());
    return first;
}

constexpr auto kStartNow = MonotonicClock::time_point::min();

}  // namespace

ServerChoice::ServerChoice(AppContext& ctx, int32_t protocol, const ProtocalInfoList& candidates,
                           const ConnectBounds& bounds)
    : ctx_(ctx),
      protocol_(protocol),
      name_(ProtocolTypeName(protocol)),
      bounds_(bounds),
      candidates_(WalkOrder(candidates, ctx.userConfig.IS_PREFER_SSL)) {}

int ServerChoice::AttemptSocket(size_t slot) const {
    if (slot >= kAttemptsInFlight || attempts_[slot].phase == Phase::Idle) return -1;
    return attempts_[slot].end.sock.Get();
}

SocketWait ServerChoice::AttemptWait(size_t slot) const {
    return slot < kAttemptsInFlight ? attempts_[slot].wait : SocketWait::None;
}

size_t ServerChoice::InFlight() const {
    size_t n = 0;
    for (const Attempt& a : attempts_) n += a.phase == Phase::Idle ? 0 : 1;
    return n;
}

// A name under resolution is the next start; it holds the ones after it.
bool ServerChoice::MayStartNext() const {
    if (done_ || outcomes_.size() >= candidates_.size() || InFlight() >= kAttemptsInFlight) return false;
    for (const Attempt& a : attempts_)
        if (a.phase == Phase::Resolving) return false;
    return true;
}

MonotonicClock::time_point ServerChoice::Deadline() const {
    MonotonicClock::time_point due = kNoDeadline;
    if (done_) return due;
    for (const Attempt& a : attempts_)
        if ((a.phase == Phase::Connecting || a.phase == Phase::Handshaking) && a.deadline < due) due = a.deadline;
    if (MayStartNext() && nextStart_ < due) due = nextStart_;
    return due;
}

ChoiceStep ServerChoice::Start(MonotonicClock::time_point now) {
    nextStart_ = kStartNow;
    return Pump(now);
}

// Starts what is due, then says where the walk stands.
ChoiceStep ServerChoice::Pump(MonotonicClock::time_point now) {
    for (;;) {
        for (Attempt& a : attempts_) {
            if (done_) break;
            if (a.phase == Phase::Done) Choose(a, now);
        }
        if (done_ || !MayStartNext() || (InFlight() > 0 && now < nextStart_)) break;
        StartNext(now);
    }
    if (done_) return ChoiceStep::Chosen;
    if (InFlight() == 0 && outcomes_.size() >= candidates_.size()) {
        LogDecided();
        return ChoiceStep::Exhausted;
    }
    for (const Attempt& a : attempts_) {
        if (a.phase == Phase::Resolving && !resolveAsked_) {
            resolveAsked_ = true;
            return ChoiceStep::Resolving;
        }
    }
    return ChoiceStep::Waiting;
}

// A dotted address is taken as it stands; anything else goes to the
// resolver, which also reads the short forms ("127.1") as addresses.
void ServerChoice::StartNext(MonotonicClock::time_point now) {
    Attempt* free = nullptr;
    for (Attempt& a : attempts_)
        if (a.phase == Phase::Idle && free == nullptr) free = &a;
    Attempt& a = *free;
    a.index = outcomes_.size();
    outcomes_.emplace_back();
    nextStart_ = now + bounds_.stagger;
    const ProtocalInfo& candidate = candidates_[a.index];
    int32_t port = candidate.Port[protocol_];
    a.phase = Phase::Connecting;
    if (port <= 0 || port > 65535 || candidate.Dest[0] == '\0') {
        Fail(a, candidate.IsSSL ? Failure::Preparation : Failure::Connection, CodeOf(ProxyResult::NetFailure));
        return;
    }
    in_addr address{};
    if (ParseIpv4Address(candidate.Dest, &address)) {
        Connect(a, address, now);
        return;
    }
    host_ = candidate.Dest;
    a.phase = Phase::Resolving;
    resolveAsked_ = false;
}

ChoiceStep ServerChoice::Resolved(bool found, in_addr address, MonotonicClock::time_point now) {
    for (Attempt& a : attempts_) {
        if (a.phase != Phase::Resolving) continue;
        // The bounds of a named candidate start once its address is known.
        nextStart_ = now + bounds_.stagger;
        if (found)
            Connect(a, address, now);
        else
            Fail(a, candidates_[a.index].IsSSL ? Failure::Preparation : Failure::Connection,
                 CodeOf(ProxyResult::NetFailure));
        break;
    }
    return Pump(now);
}

void ServerChoice::Connect(Attempt& a, const in_addr& address, MonotonicClock::time_point now) {
    const ProtocalInfo& candidate = candidates_[a.index];
    int32_t port = candidate.Port[protocol_];
    StartSocketLayer();
    a.phase = Phase::Connecting;
    a.end.sock.Reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!a.end.sock) {
        Fail(a, candidate.IsSSL ? Failure::Preparation : Failure::Connection,
             CodeOf(candidate.IsSSL ? ProxyResult::SocketFailure : ProxyResult::NetFailure));
        return;
    }
    if (candidate.IsSSL) {
        NetResult attached = a.end.tls.Attach(ctx_.tlsClient, a.end.sock.Get(), candidate.Dest, port);
        if (attached != NetResult::Ok) {
            Fail(a, Failure::Preparation, CodeOf(attached));
            return;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(static_cast<uint16_t>(port));
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&to);
    if (connect(a.end.sock.Get(), peer, sizeof to) == 0) return Connected(a, now);
    if (errno != EINPROGRESS) return Fail(a, Failure::Connection);
    // A server on this machine or next to it has answered before the call
    // returned. Asking once more costs one call, where waiting for the socket
    // costs a round of the loop and two changes to what it polls for.
    if (connect(a.end.sock.Get(), peer, sizeof to) == 0 || errno == EISCONN) return Connected(a, now);
    if (errno != EALREADY && errno != EINPROGRESS) return Fail(a, Failure::Connection);
    Await(a, SocketWait::Writable, now + std::chrono::seconds(bounds_.connectSeconds));
}

// How a connect under way stands: an event is not taken on trust, since a
// slot's socket changes as attempts come and go. Reading the socket's error
// clears it, so a failure found here is acted on at once.
ServerChoice::ConnectState ServerChoice::CheckConnect(const Attempt& a) const {
    pollfd entry{a.end.sock.Get(), POLLOUT, 0};
    if (poll(&entry, 1, 0) <= 0 || entry.revents == 0) return ConnectState::Pending;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(a.end.sock.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        return ConnectState::Failed;
    if ((entry.revents & (POLLERR | POLLHUP)) != 0) return ConnectState::Failed;
    return (entry.revents & POLLOUT) != 0 ? ConnectState::Done : ConnectState::Pending;
}

ChoiceStep ServerChoice::Ready(size_t slot, bool failed, MonotonicClock::time_point now) {
    if (slot >= kAttemptsInFlight || done_) return Pump(now);
    Attempt& a = attempts_[slot];
    if (a.phase == Phase::Handshaking) {
        Handshake(a);
    } else if (a.phase == Phase::Connecting && a.wait != SocketWait::None) {
        ConnectState state = CheckConnect(a);
        if (state == ConnectState::Done)
            Connected(a, now);
        else if (state == ConnectState::Failed || failed)
            Fail(a, Failure::Connection);
    }
    return Pump(now);
}

void ServerChoice::Connected(Attempt& a, MonotonicClock::time_point now) {
    SetNoDelay(a.end.sock.Get());
    if (!candidates_[a.index].IsSSL) {
        a.phase = Phase::Done;
        Await(a, SocketWait::None, kNoDeadline);
        return;
    }
    a.phase = Phase::Handshaking;
    a.deadline = now + std::chrono::seconds(bounds_.handshakeSeconds);
    Handshake(a);
}

// The handshake's bound runs from the connect, whatever the server's
// records do meanwhile: one that trickles them must not hold the client.
void ServerChoice::Handshake(Attempt& a) {
    SocketWait wait = SocketWait::None;
    if (a.end.tls.HandshakeSome(wait) == 1) {
        if (a.end.tls.Verdict() == PeerVerdict::Renewed) {
            const CertificateRefusal& renewal = a.end.tls.Refusal();
            WriteLog(ctx_, PROXY, MINOR, "certificate of %s:%d renewed: recorded %s replaced by %s",
                     renewal.server.c_str(), renewal.port, renewal.recorded.c_str(), renewal.presented.c_str());
        }
        a.phase = Phase::Done;
        Await(a, SocketWait::None, kNoDeadline);
        return;
    }
    if (wait == SocketWait::None)
        return Fail(a, a.end.tls.Verdict() == PeerVerdict::Refused ? Failure::Certificate : Failure::Connection);
    Await(a, wait, a.deadline);
}

// Takes an attempt a step further without waiting, to learn whether it has
// completed in the same round as a later one.
void ServerChoice::Poke(Attempt& a, MonotonicClock::time_point now) {
    if (a.phase == Phase::Connecting && a.wait != SocketWait::None) {
        ConnectState state = CheckConnect(a);
        if (state == ConnectState::Done) Connected(a, now);
        if (state == ConnectState::Failed) Fail(a, Failure::Connection);
    } else if (a.phase == Phase::Handshaking) {
        Handshake(a);
    }
}

ChoiceStep ServerChoice::Expired(MonotonicClock::time_point now) {
    for (Attempt& a : attempts_)
        if ((a.phase == Phase::Connecting || a.phase == Phase::Handshaking) && a.deadline <= now)
            Fail(a, Failure::Connection);
    return Pump(now);
}

void ServerChoice::Await(Attempt& a, SocketWait wait, MonotonicClock::time_point deadline) {
    SocketWait before = a.wait;
    a.wait = wait;
    a.deadline = deadline;
    if (wait == before || !poll_) return;
    if (!poll_(SlotOf(a), a.end.sock.Get(), wait) && wait != SocketWait::None) Fail(a, Failure::Connection);
}

// The failed candidate lets the next one start at once.
void ServerChoice::Fail(Attempt& a, Failure failure, int32_t code) {
    Outcome& o = outcomes_[a.index];
    o.decided = true;
    o.failed = true;
    o.failure = failure;
    o.code = code;
    o.sock = a.end.sock.Get();
    // The refusal's details live in the connection, which closes now.
    if (failure == Failure::Certificate) o.refusal = a.end.tls.Refusal();
    Close(a);
    nextStart_ = kStartNow;
    LogDecided();
}

void ServerChoice::Close(Attempt& a) {
    if (a.wait != SocketWait::None && poll_) poll_(SlotOf(a), a.end.sock.Get(), SocketWait::None);
    a.wait = SocketWait::None;
    CloseConn(a.end);
    a.phase = Phase::Idle;
    a.deadline = kNoDeadline;
}

// Of the attempts that have completed by now, the one ranked first wins;
// candidates ranked before it that are still under way count as failed.
void ServerChoice::Choose(Attempt& done, MonotonicClock::time_point now) {
    Attempt* winner = &done;
    for (Attempt& a : attempts_) {
        if (&a == &done || a.index >= winner->index) continue;
        Poke(a, now);
        if (a.phase == Phase::Done) winner = &a;
    }
    for (Attempt& a : attempts_) {
        if (&a == winner || a.phase == Phase::Idle) continue;
        if (a.index < winner->index) {
            Fail(a, Failure::Connection);
        } else {
            outcomes_[a.index].decided = true;
            Close(a);
        }
    }
    chosen_ = winner->index;
    outcomes_[chosen_].decided = true;
    for (size_t i = 0; i < chosen_; ++i) passedFailure_ = passedFailure_ || outcomes_[i].failed;
    done_ = true;
    LogDecided();
}

void ServerChoice::TakeChosen(ProxySocket& server) {
    for (Attempt& a : attempts_) {
        if (a.phase != Phase::Done || a.index != chosen_) continue;
        if (a.wait != SocketWait::None && poll_) poll_(SlotOf(a), a.end.sock.Get(), SocketWait::None);
        a.wait = SocketWait::None;
        server.sock = std::move(a.end.sock);
        server.tls.Swap(a.end.tls);
        server.sendShut = false;
        a.end.tls.Release();
        a.phase = Phase::Idle;
        return;
    }
}

void ServerChoice::Abandon() {
    for (Attempt& a : attempts_)
        if (a.phase != Phase::Idle) Close(a);
    done_ = true;
}

// Lines go out in the order the candidates started: one waits for the
// outcome of every candidate started before it.
void ServerChoice::LogDecided() {
    while (logged_ < outcomes_.size() && outcomes_[logged_].decided) {
        if (outcomes_[logged_].failed) LogFailure(logged_, outcomes_[logged_]);
        ++logged_;
    }
}

// The lines name what the failed step left: the failure code of a
// preparation, the socket of a connect.
void ServerChoice::LogFailure(size_t index, const Outcome& o) const {
    if (!candidates_[index].IsSSL) {
        WriteLog(ctx_, PROXY, MINOR, "ERROR: prcess %s connect failed(%d) when choose server", name_,
                 CodeOf(ProxyResult::NetFailure));
        return;
    }
    if (o.failure == Failure::Certificate) {
        const CertificateRefusal& refusal = o.refusal;
        WriteLog(ctx_, PROXY, MINOR,
                 "ERROR: process %s certificate of %s:%d refused(%d) when choose server: %s; recorded %s, "
                 "presented %s",
                 name_, refusal.server.c_str(), refusal.port, CodeOf(NetResult::CertificateRefused),
                 refusal.reason.c_str(), refusal.recorded.empty() ? "-" : refusal.recorded.c_str(),
                 refusal.presented.empty() ? "-" : refusal.presented.c_str());
        ctx_.Notifier().CertificateRefused(refusal);
        return;
    }
    if (o.failure == Failure::Preparation)
        WriteLog(ctx_, PROXY, MINOR, "ERROR: process %s prepare failed(%d) when choose server", name_, o.code);
    else
        WriteLog(ctx_, PROXY, MINOR, "ERROR: process %s connect failed(%d) when choose server", name_, o.sock);
}
