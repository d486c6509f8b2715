// UserConfigFile reads and rewrites "Quillomark.ini", the one text file that
// holds every tunable setting as KEY=value lines. The load fills UserConfig,
// the defaults pass repairs missing or out-of-range values, and a change made
// while running updates memory at once and the key's lines in the file. The
// file is never created here: without it the defaults live in memory only.
#pragma once

#include <string>
#include <vector>

#include "core/CoreResult.h"

struct CoreContext;
struct MailCodeKeys;

inline constexpr const char* kUserConfigFileName = "/Quillomark.ini";

// Host of the Internet reachability test when the file names none.
inline constexpr const char* kDefaultInternetTestServer = "www.example.com";

// The local address the proxy listeners bind when the file names none: this
// machine only, so nobody else on the network relays through the user's
// mail accounts.
inline constexpr const char* kDefaultListenAddress = "127.0.0.1";

// Reads the whole settings file into ctx.userConfig, decoding the protected
// values with ctx.mailCodeKeys. SettingsUnreadable when the file cannot be
// opened, SettingsTooLarge when it is over 64 KiB (every setting then takes
// its default in memory). A listener port that is missing or no port takes
// its default at once; the warning that says so is logged and, when warnings
// is given, added to it for the user to see. Lines the load refuses are
// logged after it, at the level the file set.
CoreResult LoadUserConfig(CoreContext& ctx, std::vector<std::string>* warnings = nullptr);

// Replaces every missing or out-of-range value by its default through
// ModifyUserConfig. Always Ok.
CoreResult CheckUserConfig(CoreContext& ctx);

// Sets one setting in memory and replaces that key's lines in the file (a key
// without a line is not added). An illegal value is logged and changes
// nothing; so is a file that cannot be rewritten, and both count as Ok.
// MissingArgument when name or value is absent.
CoreResult ModifyUserConfig(CoreContext& ctx, const char* name, const char* value);

// One setting as the Settings dialog gives it: the file key (or, for a
// protected value, also its field name such as LOGIN_PASS) and its plain text.
struct SettingChange {
    std::string name;
    std::string value;
};

// Writes every change into the file at once, replacing the key's lines or
// adding a line when it has none (the file is created, private to the user,
// when missing); protected values are sealed on the way. Memory is left as it
// is: ReloadUserConfig makes it follow. SettingRefused (nothing written,
// reason says which) for an unknown name or an out-of-range value,
// SettingsUnwritable when the file cannot be replaced.
CoreResult WriteSettingChanges(CoreContext& ctx, const std::vector<SettingChange>& changes,
                               std::string& reason);

// Whether the file at path would load as settings: every line a known KEY=value
// and every protected value readable. SettingsUnreadable or SettingsMalformed
// with the reason otherwise.
CoreResult CheckSettingsFile(const MailCodeKeys& keys, const std::string& path, std::string& reason);

// The file read again into memory and repaired as at start-up.
void ReloadUserConfig(CoreContext& ctx);
