#include "platform/Autostart.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/ReplaceFile.h"

namespace {

std::string AbsoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// mkdir -p with mode 0700 for every directory it makes.
bool MakeDirectories(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// An Exec argument: kept bare when it holds only characters that need no
// quoting, otherwise in double quotes with ", `, $ and \ escaped. A "%"
// starts a field code in either form and is doubled.
std::string ExecArgument(const std::string& argument) {
    bool bare = !argument.empty();
    for (char c : argument)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:@", c) != nullptr))
            bare = false;
    std::string quoted = bare ? "" : "\"";
    for (char c : argument) {
        if (c == '%') quoted += '%';
        else if (!bare && std::strchr("\"`$\\", c) != nullptr) quoted += '\\';
        quoted += c;
    }
    if (!bare) quoted += '"';
    // The entry's own string escaping comes on top of the quoting above.
    std::string escaped;
    for (char c : quoted) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// A desktop entry's string value: backslashes escaped.
std::string EntryString(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

AutostartTarget CurrentAutostartTarget() {
    std::string launcher = AbsoluteEnv("QUILLOMARK_LAUNCHER");
    if (!launcher.empty() && access(launcher.c_str(), X_OK) == 0) return {launcher, {}};
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    char cwd[4096];
    if (length <= 0 || getcwd(cwd, sizeof cwd) == nullptr) return {};
    return {std::string(self, static_cast<size_t>(length)), cwd};
}

std::string AutostartEntryPath(const char* appId) {
    std::string config = AbsoluteEnv("XDG_CONFIG_HOME");
    if (config.empty()) {
        std::string home = AbsoluteEnv("HOME");
        if (home.empty()) return {};
        config = home + "/.config";
    }
    return config + "/autostart/" + appId + ".desktop";
}

std::string AutostartEntryText(const AutostartTarget& target) {
    std::string text = std::string("[Desktop Entry]\n"
                                   "Type=Application\n"
                                   "Name=QuilloMark\n"
                                   "Comment=Relay your mail client to the fastest mail server that "
                                   "works right now\n"
                                   "Exec=") +
                       ExecArgument(target.program) + " --hidden\n" +
                       // Once the program is removed (a purge cannot reach into
                       // users' homes), the session skips the entry instead of
                       // failing to start what is gone.
                       "TryExec=" + EntryString(target.program) + "\n";
    if (!target.workDir.empty()) text += "Path=" + EntryString(target.workDir) + "\n";
    return text + "Icon=" + kDesktopAppId +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

PlatformResult EnableAutostart(const std::string& path, const AutostartTarget& target) {
    if (path.empty() || target.program.empty() || HasLineBreak(target.program) ||
        HasLineBreak(target.workDir))
        return PlatformResult::MissingArgument;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || !MakeDirectories(path.substr(0, slash)))
        return PlatformResult::SystemRefused;
    // A session reading the directory at login sees the old entry or the new
    // one, never half of one.
    return ReplaceFile(path, AutostartEntryText(target)) ? PlatformResult::Ok : PlatformResult::SystemRefused;
}

PlatformResult DisableAutostart(const std::string& path) {
    if (path.empty()) return PlatformResult::MissingArgument;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return PlatformResult::SystemRefused;
    return PlatformResult::Ok;
}

bool IsAutostartEnabled(const std::string& path) {
    if (path.empty()) return false;
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Hidden=true", 0) == 0) return false;
    return true;
}
