// TlsSessionCache keeps the last resumable TLS session of each upstream
// destination ("host:port"), so that the next connection to the same server
// resumes instead of running a full handshake. It is bounded: past its limit
// the destination used longest ago is dropped. Any thread may store and look
// up at once; a session handed out carries a reference of the caller's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct ssl_session_st SSL_SESSION;

class TlsSessionCache {
public:
    // Far more than the upstream servers a connection list names.
    static constexpr std::size_t kDefaultLimit = 256;

    explicit TlsSessionCache(std::size_t limit = kDefaultLimit);
    ~TlsSessionCache();
    TlsSessionCache(const TlsSessionCache&) = delete;
    TlsSessionCache& operator=(const TlsSessionCache&) = delete;

    // Takes over the caller's reference to session, in place of what
    // destination held. A session that cannot be resumed is released.
    void Store(const std::string& destination, SSL_SESSION* session);
    // The session of destination with a new reference for the caller (who
    // releases it), or null. One that has expired is dropped instead.
    SSL_SESSION* Find(const std::string& destination);
    void Forget(const std::string& destination);
    std::size_t Size() const;

private:
    struct Entry {
        std::string destination;
        SSL_SESSION* session;
        uint64_t lastUse;
    };
    std::vector<Entry>::iterator Locate(const std::string& destination);
    void DropLeastRecent();

    const std::size_t limit_;
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    uint64_t uses_ = 0;
};
