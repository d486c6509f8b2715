// Autostart turns "start at login" on and off for the current user the way
// every freedesktop session does it (Desktop Application Autostart
// specification): an entry named after the application's id in the user's
// autostart directory starts the program at login; without it, nothing
// does. Off until the user turns it on.
#pragma once

#include <string>

#include "platform/PlatformResult.h"

inline constexpr const char* kDesktopAppId = "org.quillomark.QuilloMark";

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/<appId>.desktop, with a
// relative XDG_CONFIG_HOME ignored as the XDG base directories require; empty
// when neither gives an absolute directory.
std::string AutostartEntryPath(const char* appId);

// What the entry starts at login: a program (an absolute path, or a name
// looked up on PATH) run in workDir, or in the session's directory when
// workDir is empty.
struct AutostartTarget {
    std::string program;
    std::string workDir;
};

// What starts this copy again at login. Started by the installed launcher
// (which names itself in QUILLOMARK_LAUNCHER), the launcher: it finds the
// user's working directory itself. Otherwise this very program in the
// current directory, since the program keeps its files there. An empty
// program when neither can be told.
AutostartTarget CurrentAutostartTarget();

// The entry's text: a desktop entry that runs target with --hidden at login
// (behind its icon, the services at once, no tips box to wait for), the
// program quoted as desktop entries' Exec key requires, and named again in
// TryExec so that the entry does nothing once the program is gone.
std::string AutostartEntryText(const AutostartTarget& target);

// Writes the entry at path (creating its directories with mode 0700),
// replacing any older one whole. MissingArgument for an empty path or
// program or for a line break in the target; SystemRefused when it cannot be
// written.
PlatformResult EnableAutostart(const std::string& path, const AutostartTarget& target);

// Removes the entry at path: Ok also when there was none, MissingArgument
// for an empty path, SystemRefused when it exists and cannot be removed.
PlatformResult DisableAutostart(const std::string& path);

// True when an entry is at path and not switched off by Hidden=true (a
// session's own settings dialog may write that instead of deleting it).
bool IsAutostartEnabled(const std::string& path);
