#include "net/KnownServers.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include <arpa/inet.h>

#include "platform/Ipv4Address.h"
#include "platform/ReplaceFile.h"

namespace {

// The record is read whole into memory; a file larger than this is not ours.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kFingerprintLength = 64;
constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxNames = 64;

bool IsAddress(const std::string& text) {
    in6_addr v6{};
    return ParseIpv4Address(text.c_str()) || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

bool ReadPort(std::string_view text, int32_t& port) {
    if (text.empty() || text.size() > 5) return false;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

bool IsFingerprint(std::string_view text) {
    if (text.size() != kFingerprintLength) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// DNS names as certificates carry them, wildcards included; nothing that
// could break the line or the list.
bool IsName(std::string_view text) {
    if (text.empty() || text.size() > kMaxNameLength) return false;
    for (char c : text) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter && c != '.' && c != '-' && c != '*' && c != '_') return false;
    }
    return true;
}

bool ReadNames(std::string_view text, std::vector<std::string>& names) {
    names.clear();
    if (text == "-") return true;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view name = text.substr(0, comma);
        if (!IsName(name) || names.size() == kMaxNames) return false;
        names.emplace_back(name);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        if (text.empty()) return false;  // a trailing comma is a cut line
    }
    return !names.empty();
}

bool ReadLine(std::string_view line, KnownServer& server) {
    std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) return false;
    std::string_view where = line.substr(0, first);
    std::size_t colon = where.rfind(':');
    if (colon == std::string_view::npos) return false;
    server.address = std::string(where.substr(0, colon));
    if (!IsAddress(server.address) || !ReadPort(where.substr(colon + 1), server.port)) return false;
    std::string_view fingerprint = line.substr(first + 1, second - first - 1);
    if (!IsFingerprint(fingerprint)) return false;
    server.fingerprint = std::string(fingerprint);
    return ReadNames(line.substr(second + 1), server.names);
}

void Put(std::vector<KnownServer>& servers, const KnownServer& server) {
    for (KnownServer& known : servers) {
        if (known.address == server.address && known.port == server.port) {
            known = server;
            return;
        }
    }
    servers.push_back(server);
}

}  // namespace

std::vector<KnownServer> ParseKnownServers(std::string_view text) {
    std::vector<KnownServer> servers;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        // Only a whole line counts: the last one of a cut file has no end.
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        KnownServer server;
        if (ReadLine(line, server)) Put(servers, server);
    }
    return servers;
}

std::string FormatKnownServers(const std::vector<KnownServer>& servers) {
    std::string text;
    for (const KnownServer& server : servers) {
        text += server.Key() + " " + server.fingerprint + " ";
        if (server.names.empty()) text += "-";
        for (std::size_t i = 0; i < server.names.size(); ++i) text += (i == 0 ? "" : ",") + server.names[i];
        text += "\n";
    }
    return text;
}

void KnownServers::SetPath(std::string path) {
    MutexLock hold(lock_);
    path_ = std::move(path);
    loaded_ = false;
    servers_.clear();
}

std::string KnownServers::Path() const {
    MutexLock hold(lock_);
    return path_;
}

void KnownServers::LoadOnce() {
    if (loaded_) return;
    loaded_ = true;
    if (path_.empty()) return;
    std::ifstream file(path_, std::ios::binary);
    if (!file) return;
    std::string text;
    text.resize(kMaxFileBytes + 1);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    std::size_t got = static_cast<std::size_t>(file.gcount());
    if (got > kMaxFileBytes) return;
    text.resize(got);
    servers_ = ParseKnownServers(text);
}

bool KnownServers::Find(const std::string& address, int32_t port, KnownServer& found) {
    MutexLock hold(lock_);
    LoadOnce();
    for (const KnownServer& known : servers_) {
        if (known.address == address && known.port == port) {
            found = known;
            return true;
        }
    }
    return false;
}

bool KnownServers::Store(const KnownServer& server) {
    MutexLock hold(lock_);
    LoadOnce();
    Put(servers_, server);
    refused_.erase(server.Key());
    if (path_.empty()) return true;
    return ReplaceFile(path_, FormatKnownServers(servers_), 0600);
}

bool KnownServers::FirstRefusal(const std::string& address, int32_t port) {
    MutexLock hold(lock_);
    return refused_.insert(address + ":" + std::to_string(port)).second;
}
