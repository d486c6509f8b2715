// Autostart turns "start at login" on and off for the current user the way
// every freedesktop session does it (Desktop Application Autostart
// specification): an entry named after the application's id in the user's
// autostart directory starts the program at login; without it, nothing
// does. Off until the user turns it on.
#pragma once

#include <string>

inline constexpr const char* kDesktopAppId = "org.quillomark.QuilloMark";

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/<appId>.desktop, with a
// relative XDG_CONFIG_HOME ignored as the XDG base directories require; empty
// when neither gives an absolute directory.
std::string AutostartEntryPath(const char* appId);

// The entry's text: a desktop entry that runs command at login.
std::string AutostartEntryText(const char* command);

// Writes the entry at path (creating its directories with mode 0700),
// replacing any older one whole. Returns 0, -51 for an empty path or
// command, or -1 when it cannot be written.
int EnableAutostart(const std::string& path, const char* command);

// Removes the entry at path. Returns 0 (also when there was none), -51 for an
// empty path, or -1 when it exists and cannot be removed.
int DisableAutostart(const std::string& path);

// True when an entry is at path and not switched off by Hidden=true (a
// session's own settings dialog may write that instead of deleting it).
bool IsAutostartEnabled(const std::string& path);
