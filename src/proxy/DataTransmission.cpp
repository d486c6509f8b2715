#include "proxy/DataTransmission.h"

#include <cerrno>
#include <cstring>

#include "catalogue/ProtocalInfo.h"
#include "core/WriteLog.h"
#include "proxy/ConnIo.h"

namespace {

constexpr int32_t kReceiveSize = kRelayBufferSize - 1;
// Chunks one turn forwards from a source that keeps sending: a long
// download must not keep the loop from every other session.
constexpr int kChunksPerTurn = 4;

}  // namespace

DataTransmission::DataTransmission(AppContext& ctx, const TransmissionParam& param)
    : ctx_(ctx), p_(param), side_(RelaySideName(param.side)) {
    WriteLog(ctx_, PROXY, DUMP, "from %s data transmission start", side_);
}

// A TLS source gives one record per read: records are gathered until the
// socket has no more, so that a chunk goes out in one send as on a plain
// source. The bytes received; none when the source is closed, has failed or
// has nothing now. A close or failure met after some data waits until that
// data has gone out.
int32_t DataTransmission::Receive(char* chunk) {
    if (sourceError_ != 0) return 0;
    int32_t got = 0;
    do {
        SocketWait wait = SocketWait::None;
        int32_t n = RecvConn(*p_.source, chunk + got, kReceiveSize - got, p_.sourceTls, &wait);
        if (n > 0) {
            got += n;
            continue;
        }
        if (n == 0) {
            sourceClosed_ = true;
        } else if (errno == EAGAIN) {
            sourceWait_ = wait;
        } else {
            sourceError_ = errno;
        }
        break;
    } while (p_.sourceTls && got < kReceiveSize);
    return got;
}

void DataTransmission::LogSendFailure(int error) {
    if (error != ECONNABORTED)
        WriteLog(ctx_, PROXY, MAJOR, "ERROR: send data from %s failed(%d)", side_, error);
}

void DataTransmission::Hold(const char* data, int32_t length, MonotonicClock::time_point now) {
    if (!held_) held_.reset(new char[kRelayBufferSize]);
    std::memcpy(held_.get(), data, static_cast<size_t>(length));
    heldOffset_ = 0;
    heldLength_ = length;
    stalledSince_ = now;
}

// False when a send failed. What the destination does not take now is held.
bool DataTransmission::Forward(const char* data, int32_t length, MonotonicClock::time_point now) {
    int32_t sent = 0;
    while (sent < length) {
        SocketWait wait = SocketWait::None;
        int32_t n = SendConn(*p_.destination, data + sent, length - sent, p_.destinationTls, &wait);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            destinationWait_ = wait;
            Hold(data + sent, length - sent, now);
            return true;
        }
        LogSendFailure(n < 0 ? errno : EPIPE);
        return false;
    }
    return true;
}

// False when a send failed; the buffer goes once it is empty.
bool DataTransmission::SendHeld(MonotonicClock::time_point now) {
    while (heldLength_ > 0) {
        SocketWait wait = SocketWait::None;
        int32_t n = SendConn(*p_.destination, held_.get() + heldOffset_, heldLength_, p_.destinationTls, &wait);
        if (n > 0) {
            heldOffset_ += n;
            heldLength_ -= n;
            stalledSince_ = now;
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            destinationWait_ = wait;
            return true;
        }
        LogSendFailure(n < 0 ? errno : EPIPE);
        return false;
    }
    held_.reset();
    heldOffset_ = 0;
    destinationWait_ = SocketWait::None;
    return true;
}

void DataTransmission::PassOnTheEnd() {
    ShutdownSend(*p_.destination, p_.destinationTls);
    Finish();
}

RelayTurn DataTransmission::Run(char* chunk, MonotonicClock::time_point now, MonotonicClock::time_point& activity) {
    if (ended_) return RelayTurn::Done;
    // Past the chunk limit it goes on only for what no socket would wake it
    // for again: records the library holds, or an end still to pass on.
    for (int chunks = 0; chunks < kChunksPerTurn || SourceBuffered() || sourceClosed_ || sourceError_ != 0;) {
        if (heldLength_ > 0 && !SendHeld(now)) return RelayTurn::DestinationFailed;
        if (heldLength_ > 0) return RelayTurn::Waiting;
        if (sourceClosed_) {
            PassOnTheEnd();
            return RelayTurn::Done;
        }
        int32_t n = Receive(chunk);
        if (n == 0) return NothingReceived();
        activity = now;
        if (!Forward(chunk, n, now)) return RelayTurn::DestinationFailed;
        ++chunks;
        // A plain receive that did not fill the chunk emptied the socket.
        if (!p_.sourceTls && n < kReceiveSize && !sourceClosed_ && !sourceHungUp_) {
            sourceWait_ = SocketWait::Readable;
            if (heldLength_ == 0) return RelayTurn::Waiting;
        }
    }
    return RelayTurn::Waiting;
}

// A receive that got nothing: the source failed, has ended, or has nothing now.
RelayTurn DataTransmission::NothingReceived() {
    if (sourceError_ != 0) {
        if (sourceError_ != ECONNABORTED)
            WriteLog(ctx_, PROXY, MAJOR, "ERROR: receive data from %s failed(%d)", side_, sourceError_);
        return RelayTurn::SourceFailed;
    }
    if (!sourceClosed_) return RelayTurn::Waiting;
    PassOnTheEnd();
    return RelayTurn::Done;
}

SocketWait DataTransmission::SourceWait() const {
    if (ended_ || heldLength_ > 0 || sourceClosed_ || sourceError_ != 0) return SocketWait::None;
    return sourceWait_;
}

SocketWait DataTransmission::DestinationWait() const {
    return !ended_ && heldLength_ > 0 ? destinationWait_ : SocketWait::None;
}

bool DataTransmission::SourceBuffered() const {
    return !ended_ && heldLength_ == 0 && p_.sourceTls && p_.source->tls.HasBuffered();
}

void DataTransmission::GiveUpSending() {
    LogSendFailure(ETIMEDOUT);
}

void DataTransmission::Finish() {
    if (ended_) return;
    ended_ = true;
    held_.reset();
    heldLength_ = 0;
    WriteLog(ctx_, PROXY, DUMP, "from %s data transmission end", side_);
}
