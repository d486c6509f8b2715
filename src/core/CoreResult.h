// CoreResult is what the foundation's settings operations report: reading
// and changing "Quillomark.ini" and decrypting its protected values.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class CoreResult : int32_t {
    Ok = 0,
    SettingsUnreadable = -38,  // "Quillomark.ini" cannot be opened for reading
    MailCodeRefused = -49,     // a protected value's length, a buffer or a key is refused
    SettingsTooLarge = -57,    // "Quillomark.ini" is over its 64 KiB: a format error
    // ModifyUserConfig without a name or a value. The settings have always
    // used -50 here, not the -51 of every other missing argument.
    MissingArgument = -50,
    SettingRefused = -52,      // a change names no setting or a value out of its range
    SettingsUnwritable = -53,  // "Quillomark.ini" cannot be replaced
    SettingsMalformed = -54,   // a settings file to import has a line that is no setting
};

const char* ToText(CoreResult result);
