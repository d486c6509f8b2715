// A DataTransmissionThread copies bytes unchanged in one direction between a
// mail client and its upstream server until its source closes, an error
// occurs, or both directions of the client have been quiet for a whole
// time-out (they share the slot's activity flag). When its source closes it
// passes that end on to its destination, so the far side learns of it at
// once. On SMTP over TLS a silent server is answered for by the relay itself.
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

// The 43-byte answer to a mail client whose SMTP server over TLS fell silent:
// its message is accepted and its QUIT answered.
inline constexpr char kSmtpTlsCannedReply[] = "250 Message accepted for delivery\r\n221 ok\r\n";

// -51 without param, otherwise 0 when the relay has ended. It closes neither
// end (the client process does, after both relays); it only shuts its
// destination down for writing once its source has ended.
int32_t DataTransmissionThread(AppContext& ctx, const TransmissionParam* param,
                               const RelayTimeouts& timeouts = RelayTimeouts{});
