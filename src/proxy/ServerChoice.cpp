#include "proxy/ServerChoice.h"

#include <cerrno>

#include <arpa/inet.h>
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

}  // namespace

ServerChoice::ServerChoice(AppContext& ctx, int32_t protocol, const ProtocalInfoList& candidates,
                           const ConnectBounds& bounds)
    : ctx_(ctx),
      protocol_(protocol),
      name_(ProtocolTypeName(protocol)),
      bounds_(bounds),
      candidates_(WalkOrder(candidates, ctx.userConfig.IS_PREFER_SSL)) {}

MonotonicClock::time_point ServerChoice::Deadline() const {
    return wait_ == SocketWait::None ? kNoDeadline : deadline_;
}

ChoiceStep ServerChoice::Start(ProxySocket& server, MonotonicClock::time_point now) {
    index_ = 0;
    return Begin(server, now);
}

// A dotted address is taken as it stands; anything else goes to the
// resolver, which also reads the short forms ("127.1") as addresses.
ChoiceStep ServerChoice::Begin(ProxySocket& server, MonotonicClock::time_point now) {
    wait_ = SocketWait::None;
    if (index_ >= candidates_.size()) return ChoiceStep::Exhausted;
    const ProtocalInfo& candidate = candidates_[index_];
    int32_t port = candidate.Port[protocol_];
    if (port <= 0 || port > 65535 || candidate.Dest[0] == '\0') {
        failureCode_ = CodeOf(ProxyResult::NetFailure);
        return Fail(candidate.IsSSL ? Failure::Preparation : Failure::Connection);
    }
    in_addr address{};
    if (ParseIpv4Address(candidate.Dest, &address)) return Connect(server, address, now);
    host_ = candidate.Dest;
    phase_ = Phase::Resolving;
    return ChoiceStep::Resolving;
}

ChoiceStep ServerChoice::Resolved(ProxySocket& server, bool found, in_addr address, MonotonicClock::time_point now) {
    if (phase_ != Phase::Resolving) return Fail(Failure::Connection);
    if (found) return Connect(server, address, now);
    failureCode_ = CodeOf(ProxyResult::NetFailure);
    return Fail(candidates_[index_].IsSSL ? Failure::Preparation : Failure::Connection);
}

ChoiceStep ServerChoice::Connect(ProxySocket& server, const in_addr& address, MonotonicClock::time_point now) {
    const ProtocalInfo& candidate = candidates_[index_];
    int32_t port = candidate.Port[protocol_];
    StartSocketLayer();
    server.sock.Reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!server.sock) {
        failureCode_ = CodeOf(candidate.IsSSL ? ProxyResult::SocketFailure : ProxyResult::NetFailure);
        return Fail(candidate.IsSSL ? Failure::Preparation : Failure::Connection);
    }
    if (candidate.IsSSL) {
        NetResult attached = server.tls.Attach(ctx_.tlsClient, server.sock.Get(), candidate.Dest, port);
        if (attached != NetResult::Ok) {
            failureCode_ = CodeOf(attached);
            return Fail(Failure::Preparation);
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(static_cast<uint16_t>(port));
    phase_ = Phase::Connecting;
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&to);
    if (connect(server.sock.Get(), peer, sizeof to) == 0) return Connected(server, now);
    if (errno != EINPROGRESS) return Fail(Failure::Connection);
    // A server on this machine or next to it has answered before the call
    // returned. Asking once more costs one call, where waiting for the socket
    // costs a round of the loop and two changes to what it polls for.
    if (connect(server.sock.Get(), peer, sizeof to) == 0 || errno == EISCONN) return Connected(server, now);
    if (errno != EALREADY && errno != EINPROGRESS) return Fail(Failure::Connection);
    return Await(SocketWait::Writable, now + std::chrono::seconds(bounds_.connectSeconds));
}

// A connect that failed reports an error on the socket; one that turned
// writable without it has succeeded.
ChoiceStep ServerChoice::Ready(ProxySocket& server, bool failed, MonotonicClock::time_point now) {
    if (phase_ == Phase::Handshaking) return Handshake(server);
    if (phase_ != Phase::Connecting || failed) return Fail(Failure::Connection);
    return Connected(server, now);
}

ChoiceStep ServerChoice::Connected(ProxySocket& server, MonotonicClock::time_point now) {
    SetNoDelay(server.sock.Get());
    if (!candidates_[index_].IsSSL) {
        phase_ = Phase::Done;
        wait_ = SocketWait::None;
        return ChoiceStep::Chosen;
    }
    phase_ = Phase::Handshaking;
    deadline_ = now + std::chrono::seconds(bounds_.handshakeSeconds);
    return Handshake(server);
}

// The handshake's bound runs from the connect, whatever the server's
// records do meanwhile: one that trickles them must not hold the client.
ChoiceStep ServerChoice::Handshake(ProxySocket& server) {
    SocketWait wait = SocketWait::None;
    if (server.tls.HandshakeSome(wait) == 1) {
        if (server.tls.Verdict() == PeerVerdict::Renewed) {
            const CertificateRefusal& renewal = server.tls.Refusal();
            WriteLog(ctx_, PROXY, MINOR, "certificate of %s:%d renewed: recorded %s replaced by %s",
                     renewal.server.c_str(), renewal.port, renewal.recorded.c_str(), renewal.presented.c_str());
        }
        phase_ = Phase::Done;
        wait_ = SocketWait::None;
        return ChoiceStep::Chosen;
    }
    if (wait == SocketWait::None)
        return Fail(server.tls.Verdict() == PeerVerdict::Refused ? Failure::Certificate : Failure::Connection);
    return Await(wait, deadline_);
}

ChoiceStep ServerChoice::Expired() {
    return Fail(Failure::Connection);
}

ChoiceStep ServerChoice::Await(SocketWait wait, MonotonicClock::time_point deadline) {
    wait_ = wait;
    deadline_ = deadline;
    return ChoiceStep::Waiting;
}

ChoiceStep ServerChoice::Fail(Failure failure) {
    failure_ = failure;
    wait_ = SocketWait::None;
    return ChoiceStep::Failed;
}

ChoiceStep ServerChoice::Next(ProxySocket& server, MonotonicClock::time_point now) {
    LogFailure(server);
    CloseConn(server);
    passedFailure_ = true;
    ++index_;
    return Begin(server, now);
}

// The lines name what the failed step left in the server's end: the failure
// code of a preparation, the socket of a connect.
void ServerChoice::LogFailure(const ProxySocket& server) const {
    if (!candidates_[index_].IsSSL) {
        WriteLog(ctx_, PROXY, MINOR, "ERROR: prcess %s connect failed(%d) when choose server", name_,
                 CodeOf(ProxyResult::NetFailure));
        return;
    }
    if (failure_ == Failure::Certificate) {
        const CertificateRefusal& refusal = server.tls.Refusal();
        WriteLog(ctx_, PROXY, MINOR,
                 "ERROR: process %s certificate of %s:%d refused(%d) when choose server: %s; recorded %s, "
                 "presented %s",
                 name_, refusal.server.c_str(), refusal.port, CodeOf(NetResult::CertificateRefused),
                 refusal.reason.c_str(), refusal.recorded.empty() ? "-" : refusal.recorded.c_str(),
                 refusal.presented.empty() ? "-" : refusal.presented.c_str());
        ctx_.Notifier().CertificateRefused(refusal);
        return;
    }
    if (failure_ == Failure::Preparation)
        WriteLog(ctx_, PROXY, MINOR, "ERROR: process %s prepare failed(%d) when choose server", name_, failureCode_);
    else
        WriteLog(ctx_, PROXY, MINOR, "ERROR: process %s connect failed(%d) when choose server", name_,
                 server.sock.Get());
}
