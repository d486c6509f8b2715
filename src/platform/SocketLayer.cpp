#include "platform/SocketLayer.h"

#include <csignal>

bool StartSocketLayer() {
    // Every connect asks; the disposition is the process's, so it is set once.
    static const bool started = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    return started;
}
