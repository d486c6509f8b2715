// A DataTransmission is one relay: it copies bytes unchanged in one
// direction of a client's session, from its source end to its destination
// end, until its source closes, an error occurs, or the session goes quiet.
// It never waits. The relay loop runs it whenever one of its ends is ready
// and asks it afterwards what it waits for.
//
// A chunk goes out from the loop's buffer as soon as it has come in. What
// the destination does not take at once moves into the relay's own
// 100,000-byte buffer, and the relay reads nothing more until that has gone
// out: a mail client that never reads holds one chunk, not the server's
// whole mailbox. The buffer exists only while it holds something, so an idle
// session costs no buffer at all.
//
// When the source closes, the relay sends what it still holds, then passes
// the end on to the destination, so the far side learns of it at once.
// Every other end (a failed receive or send) is for the loop to act on: it
// ends the whole session. The relay never speaks for the server: the client
// hears only what the server says.
#pragma once

#include <cstdint>
#include <memory>

#include "context/AppContext.h"
#include "platform/MonotonicClock.h"
#include "proxy/ProxySocket.h"

// The relay's buffer; one receive asks for at most one byte less.
inline constexpr int32_t kRelayBufferSize = 100000;

// The argument of one relay: which direction, and the two ends, which
// belong to the session and outlive the relay.
struct TransmissionParam {
    int32_t side = CLIENT;  // a RelaySide: CLIENT reads from the mail client
    ProxySocket* source = nullptr;
    bool sourceTls = false;
    ProxySocket* destination = nullptr;
    bool destinationTls = false;
};

// How a relay's turn ended.
enum class RelayTurn : uint8_t {
    Waiting,            // it moved what it could and waits on one of its ends
    Done,               // its source closed, all went out and the end was passed on
    SourceFailed,       // a receive failed (logged unless the local side aborted it)
    DestinationFailed,  // a send failed (logged unless the local side aborted it)
};

class DataTransmission {
public:
    DataTransmission(AppContext& ctx, const TransmissionParam& param);
    DataTransmission(const DataTransmission&) = delete;
    DataTransmission& operator=(const DataTransmission&) = delete;

    // Sends what it holds, then receives and forwards while both ends allow.
    // chunk is the loop's buffer of kRelayBufferSize bytes. activity is set
    // to now when data came in.
    RelayTurn Run(char* chunk, MonotonicClock::time_point now, MonotonicClock::time_point& activity);

    // What the relay waits for on its source and on its destination; None
    // when it needs nothing from that end.
    SocketWait SourceWait() const;
    SocketWait DestinationWait() const;
    // True when its source has data the TLS library already read off the
    // socket: the relay must run again though the socket stays quiet.
    bool SourceBuffered() const;

    // The source's peer has ended its sending (the poll said so): a read
    // that does not fill the chunk is followed at once by the one that meets
    // the end, which then goes out with the data rather than a wake-up later.
    void SourceHungUp() { sourceHungUp_ = true; }

    bool Ended() const { return ended_; }
    bool Holding() const { return heldLength_ > 0; }
    // When the destination last took something of what the relay holds.
    MonotonicClock::time_point StalledSince() const { return stalledSince_; }
    const char* SideName() const { return side_; }

    // The destination took nothing of what the relay holds for the whole
    // quiet time: logs the failed send (ETIMEDOUT).
    void GiveUpSending();
    // Writes the relay's end line unless it has ended already.
    void Finish();

private:
    int32_t Receive(char* chunk);
    RelayTurn NothingReceived();
    bool Forward(const char* data, int32_t length, MonotonicClock::time_point now);
    bool SendHeld(MonotonicClock::time_point now);
    void Hold(const char* data, int32_t length, MonotonicClock::time_point now);
    void PassOnTheEnd();
    void LogSendFailure(int error);

    AppContext& ctx_;
    TransmissionParam p_;
    const char* side_;
    bool sourceClosed_ = false;
    bool sourceHungUp_ = false;
    int sourceError_ = 0;  // a failure met after data that went out first
    bool ended_ = false;
    SocketWait sourceWait_ = SocketWait::Readable;
    SocketWait destinationWait_ = SocketWait::None;
    std::unique_ptr<char[]> held_;  // only while the destination owes us room
    int32_t heldOffset_ = 0;
    int32_t heldLength_ = 0;
    MonotonicClock::time_point stalledSince_{};
};
