#include "proxy/DataTransmissionThread.h"

#include <cerrno>
#include <memory>

#include "core/WriteLog.h"
#include "proxy/ConnIo.h"
#include "proxy/ProxyResultCodes.h"

namespace {

constexpr int32_t kBufferSize = 100000;
constexpr int32_t kReceiveSize = kBufferSize - 1;

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

// Forwarded: a chunk went through. Quiet: nothing came within the time-out.
// SourceClosed: the source ended its data. Failed: a receive or send failed.
enum class Step { Forwarded, Quiet, SourceClosed, Failed };

// Waits for the next chunk, for at most the source's receive time-out, and
// forwards it. The wait is in the receive itself, plain or TLS.
Step ForwardChunk(Relay& relay, char* buffer) {
    const TransmissionParam& p = relay.p;
    int32_t n = RecvConn(p.source, buffer, kReceiveSize, p.sourceTls);
    if (n == 0) return Step::SourceClosed;
    if (n < 0) {
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) return Step::Quiet;
        if (error != ECONNABORTED)
            WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: receive data from %s failed(%d)", relay.side, error);
        return Step::Failed;
    }
    SetActivity(relay, 1);
    int error = 0;
    int32_t sent = SendWhole(p.destination, buffer, n, p.destinationTls, error);
    if (sent == n) return Step::Forwarded;
    if (sent > 0)
        WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: from %s unmatch send data byte(%d, %d)", relay.side, sent, n);
    if (error != ECONNABORTED)
        WriteLog(relay.ctx, PROXY, MAJOR, "ERROR: send data from %s failed(%d)", relay.side, error);
    return Step::Failed;
}

// How the relay ended: SourceClosed, Failed or Quiet.
Step RunRelay(Relay& relay, int32_t timeout) {
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    SetReceiveTimeout(relay.p.source, timeout);
    SetSendTimeout(relay.p.destination, timeout);
    for (;;) {
        Step step = ForwardChunk(relay, buffer.get());
        if (step == Step::Forwarded) continue;
        if (step != Step::Quiet) return step;
        if (TakeActivity(relay)) continue;
        // A whole period without data in either direction.
        WriteLog(relay.ctx, PROXY, MINOR, "ERROR: from %s timeout(%d)", relay.side, kProxyWaitTimeout);
        return Step::Quiet;
    }
}

// A source that closed is passed on, so the far side learns of it at once
// and the other relay ends when that side closes too. Any other end leaves
// nothing worth keeping: both ends are shut down, which ends the other relay
// at once and shows the mail client a closed connection.
void PassOnTheEnd(const TransmissionParam& p, Step end) {
    if (end == Step::SourceClosed) {
        ShutdownSend(p.destination, p.destinationTls);
        return;
    }
    AbortConn(p.source);
    AbortConn(p.destination);
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
    PassOnTheEnd(p, RunRelay(relay, timeouts.quietSeconds));
    SetActivity(relay, 0);
    WriteLog(ctx, PROXY, DUMP, "from %s data transmission end", relay.side);
    return 0;
}
