// PreboundSockets carries listening sockets from the start of the process,
// where they are bound while the standard mail ports may still be bound, to
// the proxy listener of their port, which takes its socket instead of
// binding one itself. File descriptors belong to the whole process, so the
// table does too: it is filled before any thread exists and each socket is
// taken once.
#pragma once

#include <cstdint>

#include "platform/PlatformResult.h"

// Binds a listening TCP socket to the IPv4 address (dotted text) and port,
// with backlog, and keeps it for TakePreboundSocket. SystemRefused, with
// errno telling why, when the address is not a dotted IPv4 address or the
// port is out of range (EINVAL) or socket, bind or listen fails.
PlatformResult PrebindListenSocket(const char* address, int32_t port, int backlog);

// The socket pre-bound for port, handed over once; -1 when there is none.
int TakePreboundSocket(int32_t port);
