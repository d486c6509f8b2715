// A loopback port whose connects are never answered, as with a server that
// drops packets: a listener with a backlog of one that is already full and
// never accepts. The system then drops every further SYN, so a connect to the
// port waits for the system's retries (about two minutes) unless the caller
// bounds it. Needs nothing but the loopback device of the test's namespace.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackPort.h"

class UnansweredPort {
public:
    UnansweredPort() {
        listener_ = ListenLoopback(port_, 0);
        sockaddr_in address = LoopbackAddress(port_);
        // The one connection the backlog holds; from now on SYNs are dropped.
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~UnansweredPort() {
        close(filler_);
        close(listener_);
    }
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;

    int port() const { return port_; }

private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};
