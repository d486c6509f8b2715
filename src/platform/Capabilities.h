// Capabilities lets the process give up the Linux capabilities it may have
// been started with. An administrator can grant the installed program
// cap_net_bind_service so that users may listen on the standard mail ports;
// the program uses it for those sockets only and then drops everything, so
// nothing else it does (and no settings file a user writes) can use it.
#pragma once

// True when the effective set holds CAP_NET_BIND_SERVICE.
bool CanBindPrivilegedPorts();

// Empties the effective, permitted, inheritable and ambient sets. True when
// the process afterwards holds no capability in its effective or permitted
// set; false when it could not give them up.
bool DropAllCapabilities();
