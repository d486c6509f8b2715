#include "app/DisplayProbe.h"

#include <QDir>
#include <QLibraryInfo>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

namespace {

constexpr int kConnectWaitMs = 1000;

bool ConnectsWithin(int fd, const sockaddr* address, socklen_t length) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, address, length) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd wait{fd, POLLOUT, 0};
    if (poll(&wait, 1, kConnectWaitMs) != 1) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool LocalXServerAnswers(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    // The server listens both in the abstract namespace and on the file.
    for (bool abstract : {true, false}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::size_t offset = abstract ? 1 : 0;
        if (path.size() + offset >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        bool answered = ConnectsWithin(fd, reinterpret_cast<sockaddr*>(&address), length);
        close(fd);
        if (answered) return true;
    }
    return false;
}

bool RemoteXServerAnswers(const std::string& host, const std::string& number) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool answered = false;
    for (addrinfo* a = found; a != nullptr && !answered; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        answered = ConnectsWithin(fd, a->ai_addr, a->ai_addrlen);
        close(fd);
    }
    freeaddrinfo(found);
    return answered;
}

bool XDisplayAnswers(const char* display) {
    if (display == nullptr || *display == '\0') return false;
    std::string name = display;
    std::size_t colon = name.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = name.substr(0, colon);
    std::string number = name.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    if (host.empty() || host == "unix") return LocalXServerAnswers(number);
    return RemoteXServerAnswers(host, number);
}

bool WaylandDisplayUsable() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (display == nullptr || *display == '\0') return false;
    std::string socketPath = display[0] == '/' ? display
                             : runtime != nullptr ? std::string(runtime) + "/" + display
                                                  : std::string();
    struct stat info {};
    if (socketPath.empty() || stat(socketPath.c_str(), &info) != 0) return false;
    QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqwayland*")}).isEmpty();
}

}  // namespace

bool DisplayAvailable() {
    std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    if (platform.rfind("offscreen", 0) == 0 || platform.rfind("minimal", 0) == 0) return false;
    if (platform.rfind("wayland", 0) == 0) return WaylandDisplayUsable();
    if (XDisplayAnswers(std::getenv("DISPLAY"))) return true;
    // Without X, Qt only picks Wayland when it is told to.
    if (platform.empty() && WaylandDisplayUsable()) {
        setenv("QT_QPA_PLATFORM", "wayland", 1);
        return true;
    }
    return false;
}
