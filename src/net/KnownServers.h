// KnownServers is the record of the TLS servers reached by address: for each
// address and port, the SHA-256 of the public key (SubjectPublicKeyInfo) its
// first completed handshake presented, and the names its certificate carried.
// A server reached by address has no name a CA could vouch for, so the first
// key seen is trusted and every later connection must present it again, as
// SSH's known_hosts does.
//
// The file holds one line per server:
//   ADDRESS:PORT SHA256-HEX NAME,NAME,...
// with "-" for a certificate that named nothing. A line that does not read
// is skipped: the server it stood for is met as new. Probes, relays and the
// report use one object at once; it owns its lock.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Mutex.h"

// The record's name in the working directory.
inline constexpr const char* kKnownServersFileName = "/KnownServers.txt";

struct KnownServer {
    std::string address;  // dotted IPv4 or an IPv6 literal
    int32_t port = 0;
    std::string fingerprint;         // 64 lower-case hex digits
    std::vector<std::string> names;  // the certificate's DNS names, maybe none

    std::string Key() const { return address + ":" + std::to_string(port); }
};

// The readable lines of text, in file order; a later line for the same
// server replaces an earlier one.
std::vector<KnownServer> ParseKnownServers(std::string_view text);
// The file text of servers, one line each.
std::string FormatKnownServers(const std::vector<KnownServer>& servers);

class KnownServers {
public:
    KnownServers() = default;
    KnownServers(const KnownServers&) = delete;
    KnownServers& operator=(const KnownServers&) = delete;

    // Where the record lives; read on first use. Empty keeps it in memory
    // only (tests, or a context with no working directory).
    void SetPath(std::string path) EXCLUDES(lock_);
    std::string Path() const EXCLUDES(lock_);

    // The record of address:port, or false when it has none.
    bool Find(const std::string& address, int32_t port, KnownServer& found) EXCLUDES(lock_);
    // Adds or replaces the record of server and rewrites the file. False when
    // the file could not be written; the record holds in memory all the same.
    bool Store(const KnownServer& server) EXCLUDES(lock_);
    // True the first time a changed key of address:port is reported in this
    // process: the user is asked about each server once.
    bool FirstRefusal(const std::string& address, int32_t port) EXCLUDES(lock_);

private:
    void LoadOnce() REQUIRES(lock_);

    mutable Mutex lock_;
    std::string path_ GUARDED_BY(lock_);
    bool loaded_ GUARDED_BY(lock_) = false;
    std::vector<KnownServer> servers_ GUARDED_BY(lock_);
    std::set<std::string> refused_ GUARDED_BY(lock_);
};
