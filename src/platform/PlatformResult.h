// PlatformResult is what the platform's operations that can fail for more
// than one reason report: turning start at login on or off, binding a
// listening socket ahead of the listeners, giving up the capabilities.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class PlatformResult : int32_t {
    Ok = 0,
    SystemRefused = -1,     // a system call failed; errno tells why
    MissingArgument = -51,  // an argument is absent, empty or unusable
};

const char* ToText(PlatformResult result);
