#include "proxy/DataTransmissionThread.h"

#include <cerrno>
#include <memory>

#include "core/WriteLog.h"
#include "proxy/ConnIo.h"
#include "proxy/ProxyResultCodes.h"

namespace {

constexpr int32_t kBufferSize = 100000;
constexpr int32_t kReceiveSize = kBufferSize - 1;
constexpr int32_t kCannedReplyLength = sizeof kSmtpTlsCannedReply - 1;

struct Relay {
    AppContext& ctx;
    TransmissionParam p;
    const char* side;
    std::mutex& activityLock;
    int32_t& activity;
};

void SetActivity(Relay& relay, int32_t value) {
    std::lock_guard<std::mutex> lock(relay.activityLock);
    relay.activity = value;
}

// Clears the flag and tells whether it was set.
bool TakeActivity(Relay& relay) {
    std::lock_guard<std::mutex> lock(relay.activityLock);
    bool moved = relay.activity == 1;
    relay.activity = 0;
    return moved;
}

bool IsSmtpTlsServerSide(const TransmissionParam& p) {
    return p.protocol == SMTP && p.sourceTls && p.side == SERVER;
}

// Sends all of data, going on after partial sends; the bytes sent. Fewer than
// length means the last send failed, with its errno in error.
int32_t SendWhole(ProxySocket* to, const char* data, int32_t length, bool useTls, int& error) {
    int32_t sent = 0;
    while (sent < length) {
        int32_t n = SendConn(to, data + sent, length - sent, useTls);
        if (n <= 0) {
            error = errno;
            break;
        }
        sent += n;
    }
    return sent;
}

enum class Step { Forwarded, Quiet, End };

// Waits for the next chunk, for at most timeout seconds, and forwards it.
// A plain source waits in the receive itself (its receive time-out is set),
// a TLS source first in WaitForData, which sees what the TLS layer holds.
Step ForwardChunk(Relay& relay, char* buffer, int32_t timeout) {
    const TransmissionParam& p = relay.p;
    if (p.sourceTls && WaitForData(p.source, timeout) != 1) return Step::Quiet;
    int32_t n = RecvConn(p.source, buffer, kReceiveSize, p.sourceTls);
    if (n <= 0) {
        int error = errno;
        if (n < 0 && !p.sourceTls && (error == EAGAIN || error == EWOULDBLOCK)) return Step::Quiet;
        if (n < 0 && error != ECONNABORTED)
            WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: receive data from %s failed(%d)", relay.side, error);
        // Without this the far side would wait for the other relay's time-out.
        ShutdownSend(p.destination, p.destinationTls);
        return Step::End;
    }
    SetActivity(relay, 1);
    int error = 0;
    int32_t sent = SendWhole(p.destination, buffer, n, p.destinationTls, error);
    if (sent == n) return Step::Forwarded;
    if (sent > 0)
        WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: from %s unmatch send data byte(%d, %d)", relay.side, sent, n);
    if (error != ECONNABORTED)
        WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: send data from %s failed(%d)", relay.side, error);
    return Step::End;
}

// The mail client waits for the answer to its message; give it one. False
// when it cannot be sent.
bool AnswerForSilentServer(Relay& relay) {
    WriteLog(relay.ctx, PROXY, MINOR, "send using SMTP-SSL");
    int error = 0;
    int32_t sent = SendWhole(relay.p.destination, kSmtpTlsCannedReply, kCannedReplyLength,
                             relay.p.destinationTls, error);
    if (sent == kCannedReplyLength) return true;
    if (sent > 0)
        WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: from %s unmatch send data byte(%d, %d)", relay.side, sent,
                 kCannedReplyLength);
    WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: from %s send data failed(%d)", relay.side, error);
    return false;
}

void RunRelay(Relay& relay, int32_t timeout) {
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    if (!relay.p.sourceTls) SetReceiveTimeout(relay.p.source, timeout);
    for (;;) {
        Step step = ForwardChunk(relay, buffer.get(), timeout);
        if (step == Step::End) return;
        if (step == Step::Forwarded || TakeActivity(relay)) continue;
        // A whole period without data in either direction.
        if (IsSmtpTlsServerSide(relay.p) && !AnswerForSilentServer(relay)) return;
        WriteLog(relay.ctx, PROXY, MINOR, "ERROR: from %s timeout(%d)", relay.side, kProxyWaitTimeout);
        return;
    }
}

}  // namespace

int32_t DataTransmissionThread(AppContext& ctx, const TransmissionParam* param,
                               const RelayTimeouts& timeouts) {
    if (param == nullptr) return -51;
    TransmissionParam p = *param;
    if (p.protocol < 0 || p.protocol >= kProtocolCount || p.slot < 0 || p.slot >= kClientSlotCount)
        return -51;
    Relay relay{ctx, p, RelaySideName(p.side), ctx.slotLock[p.protocol][p.slot],
                ctx.slotActivity[p.protocol][p.slot]};
    WriteLog(ctx, PROXY, DUMP, "from %s data transmission start", relay.side);
    int32_t timeout = IsSmtpTlsServerSide(p) ? timeouts.smtpTlsServerSeconds : timeouts.quietSeconds;
    RunRelay(relay, timeout);
    SetActivity(relay, 0);
    WriteLog(ctx, PROXY, DUMP, "from %s data transmission end", relay.side);
    return 0;
}
