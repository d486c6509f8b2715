// StandardPortGrant is the one use the program makes of cap_net_bind_service,
// which an administrator may grant the installed program so that users can
// keep the standard mail ports: first thing at start-up it binds those of
// the three configured local mail ports that are 25, 110 or 143, and then
// gives up every capability before anything else runs. Those sockets reach
// the proxy listeners through PreboundSockets; every other port is bound
// later without privilege, as it would be without the grant.
#pragma once

#include <cstdint>
#include <string>

#include "platform/PlatformResult.h"

inline constexpr int32_t kStandardMailPorts[] = {25, 110, 143};

// What the settings file asks the listeners for, read the way the settings
// loader reads it: the last line of a key wins, a number is the value's
// leading decimal integer, a port that is missing or outside 1..65535 takes
// its default (2525, 2110, 2143, the ports the package ships), and an address that is missing, unquoted or not
// dotted IPv4 takes 127.0.0.1.
struct ListenRequest {
    std::string address = "127.0.0.1";
    int32_t ports[3] = {2525, 2110, 2143};  // SMTP, POP3, IMAP4
};

// The request in the settings file at path; the defaults when it cannot be read.
ListenRequest ReadListenRequest(const char* path);

// Pre-binds the standard ports of the settings file at path when the process
// may bind privileged ports, then drops every capability. SystemRefused when
// the capabilities could not be given up (the caller must then end).
PlatformResult UseStandardPortGrant(const char* settingsPath);
