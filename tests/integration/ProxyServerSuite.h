// ProxyServerSuite is the base of the proxy suites that relay to the real
// mail servers: a candidate record points at the servers' plain or implicit
// TLS ports for all three protocols.
#pragma once

#include "proxy/RecordingUpstreams.h"
#include "support/MailServerSuite.h"

class ProxyServerSuite : public MailServerSuite {
protected:
    static ProtocalInfo Upstream(const char* code, bool tls, int cost) {
        ProtocalInfo c = proxytest::Candidate(code, 0, tls, cost);
        c.Port[SMTP] = Servers().Port(tls ? "SMTPS_PORT" : "SMTP_PORT");
        c.Port[POP3] = Servers().Port(tls ? "POP3S_PORT" : "POP3_PORT");
        c.Port[IMAP4] = Servers().Port(tls ? "IMAPS_PORT" : "IMAP_PORT");
        return c;
    }
};
