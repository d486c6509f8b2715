// A DataTransmissionThread copies bytes unchanged in one direction between a
// mail client and its upstream server until its source closes, an error
// occurs, or both directions of the client have been quiet for a whole
// time-out (they share the slot's activity flag). When its source closes it
// passes that end on to its destination, so the far side learns of it at
// once. Any other end (a failure, the quiet time-out, a send that made no
// progress for the time-out) ends the whole session: both ends are shut
// down, so the other relay ends too and the mail client sees the close
// instead of talking into a half-dead session. The relay never speaks for
// the server: the client hears only what the server says.
#pragma once

#include <cstdint>

#include "context/AppContext.h"
#include "proxy/ProxyRuntime.h"
#include "proxy/ProxySocket.h"

// The argument of one relay: which direction, whose slot, and the two ends,
// which belong to the client process and outlive the relay.
struct TransmissionParam {
    int32_t side = CLIENT;  // a RelaySide: CLIENT reads from the mail client
    int32_t slot = 0;
    int32_t protocol = SMTP;
    ProxySocket* source = nullptr;
    bool sourceTls = false;
    ProxySocket* destination = nullptr;
    bool destinationTls = false;
};

// -51 without param, otherwise 0 when the relay has ended. It closes neither
// end (the client process does, after both relays); it shuts its destination
// down for writing once its source has closed, and both ends down on any
// other end.
int32_t DataTransmissionThread(AppContext& ctx, const TransmissionParam* param,
                               const RelayTimeouts& timeouts = RelayTimeouts{});
