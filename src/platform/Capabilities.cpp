#include "platform/Capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Version 3 of the interface describes 64 capabilities in two 32-bit words.
struct CapabilitySets {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

bool ReadSets(CapabilitySets& sets) {
    return syscall(SYS_capget, &sets.header, sets.data) == 0;
}

}  // namespace

bool CanBindPrivilegedPorts() {
    CapabilitySets sets;
    if (!ReadSets(sets)) return false;
    return (sets.data[CAP_TO_INDEX(CAP_NET_BIND_SERVICE)].effective & CAP_TO_MASK(CAP_NET_BIND_SERVICE)) != 0;
}

bool DropAllCapabilities() {
    // Ambient capabilities would survive an exec; clearing them needs no privilege.
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    CapabilitySets cleared;
    syscall(SYS_capset, &cleared.header, cleared.data);
    CapabilitySets now;
    if (!ReadSets(now)) return false;
    for (const __user_cap_data_struct& word : now.data)
        if (word.effective != 0 || word.permitted != 0) return false;
    return true;
}
