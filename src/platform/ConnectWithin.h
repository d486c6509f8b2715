// ConnectWithin connects a TCP socket with an upper bound on the wait. A
// server that drops packets rather than refusing leaves a plain connect
// waiting for the system's SYN retries, about two minutes on Linux; every
// connect to an upstream mail server uses this instead, so that the next
// candidate is tried in good time.
#pragma once

#include <cstdint>

#include <netinet/in.h>

// The bound the product uses for every outgoing connect, in seconds.
inline constexpr int32_t kConnectSeconds = 10;

// Connects sock (blocking, as it stays afterwards) to address, waiting at
// most seconds. 0, or -1 with errno telling why (ETIMEDOUT when the bound
// passed with no answer).
int32_t ConnectWithin(int sock, const sockaddr_in& address, int32_t seconds);

// Resolves host as a name (its first IPv4 address), or failing that as a
// dotted IPv4 address. False when it is neither. Blocks as long as the
// system's resolver does.
bool ResolveIpv4(const char* host, in_addr& address);

// ResolveIpv4 with an upper bound on the wait: false when no answer came
// within seconds (the lookup finishes on its own thread and is dropped).
bool ResolveIpv4Within(const char* host, in_addr& address, int32_t seconds);
