#include "platform/SocketLayer.h"

#include <csignal>

bool StartSocketLayer() {
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}
