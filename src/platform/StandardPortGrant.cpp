#include "platform/StandardPortGrant.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Capabilities.h"
#include "platform/Ipv4Address.h"
#include "platform/PreboundSockets.h"

namespace {

#include <sys/socket.h>

// As many clients may wait as the listeners allow when they bind themselves.
constexpr int kBacklog = SOMAXCONN;
// The settings loader refuses a larger file; no more of it is read here.
constexpr std::size_t kSettingsReadLimit = 64 * 1024;

// The value of a KEY=value line: up to the next "=" or the line end.
std::string ValueOf(const char* line, const char* key) {
    size_t keyLength = std::strlen(key);
    if (std::strncmp(line, key, keyLength) != 0 || line[keyLength] != '=') return {};
    const char* value = line + keyLength + 1;
    return std::string(value, std::strcspn(value, "=\r\n"));
}

// A text is what lies between its first and last double quote; a value
// with fewer than two quotes is no text, and the settings then keep their own.
bool CopyQuoted(const std::string& value, std::string& out) {
    size_t first = value.find('"');
    size_t last = value.rfind('"');
    if (first == std::string::npos || last == first) return false;
    out = value.substr(first + 1, last - first - 1);
    return true;
}

void TakeLine(std::string& address, const char* line, int32_t (&read)[3]) {
    static const char* const kPortKeys[3] = {"PORT_SMTP", "PORT_POP3", "PORT_IMAP4"};
    for (int i = 0; i < 3; ++i) {
        std::string value = ValueOf(line, kPortKeys[i]);
        if (!value.empty()) read[i] = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
    }
    CopyQuoted(ValueOf(line, "LISTEN_ADDRESS"), address);
}

bool IsStandardMailPort(int32_t port) {
    for (int32_t standard : kStandardMailPorts)
        if (port == standard) return true;
    return false;
}

}  // namespace

ListenRequest ReadListenRequest(const char* path) {
    ListenRequest request;
    FILE* file = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) return request;
    int32_t read[3] = {0, 0, 0};
    std::string address;
    char line[512];
    std::size_t taken = 0;
    bool first = true;
    while (taken <= kSettingsReadLimit && std::fgets(line, sizeof line, file) != nullptr) {
        taken += std::strlen(line);
        // A UTF-8 byte-order mark is no part of the first key.
        const char* start = first && std::strncmp(line, "\xEF\xBB\xBF", 3) == 0 ? line + 3 : line;
        first = false;
        TakeLine(address, start, read);
    }
    std::fclose(file);
    for (int i = 0; i < 3; ++i)
        if (read[i] > 0 && read[i] <= 65535) request.ports[i] = read[i];
    // The settings repair an address that is not dotted IPv4 the same way.
    if (IsIpv4Address(address)) request.address = address;
    return request;
}

PlatformResult UseStandardPortGrant(const char* settingsPath) {
    if (CanBindPrivilegedPorts()) {
        ListenRequest request = ReadListenRequest(settingsPath);
        for (int32_t port : request.ports)
            if (IsStandardMailPort(port)) PrebindListenSocket(request.address.c_str(), port, kBacklog);
    }
    return DropAllCapabilities() ? PlatformResult::Ok : PlatformResult::SystemRefused;
}
