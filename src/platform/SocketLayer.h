// StartSocketLayer prepares the process for sockets. POSIX sockets need no
// start-up, but a peer that closes while we send must never kill the process,
// so SIGPIPE is ignored here once for all threads.
#pragma once

bool StartSocketLayer();
