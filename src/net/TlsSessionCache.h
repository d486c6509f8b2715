// TlsSessionCache keeps the last resumable TLS session of each upstream
// destination ("host:port"), so that the next connection to the same server
// resumes instead of running a full handshake. It is bounded: past its limit
// the destination used longest ago is dropped. Any thread may store and look
// up at once. The cache never shares a session object with a connection: the
// library marks a connection's session as spent when the connection ends
// without a close-notify (as most mail servers end theirs), so the cache
// keeps copies and hands out copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Mutex.h"

typedef struct ssl_session_st SSL_SESSION;

class TlsSessionCache {
public:
    // Far more than the upstream servers a connection list names.
    static constexpr std::size_t kDefaultLimit = 256;

    explicit TlsSessionCache(std::size_t limit = kDefaultLimit);
    ~TlsSessionCache();
    TlsSessionCache(const TlsSessionCache&) = delete;
    TlsSessionCache& operator=(const TlsSessionCache&) = delete;

    // Keeps a copy of session in place of what destination held; one that
    // cannot be resumed is not kept. The caller keeps its own session.
    void Store(const std::string& destination, const SSL_SESSION* session) EXCLUDES(lock_);
    // A copy of the session of destination for the caller (who releases
    // it), or null. One that has expired is dropped instead.
    SSL_SESSION* Find(const std::string& destination) EXCLUDES(lock_);
    void Forget(const std::string& destination) EXCLUDES(lock_);
    std::size_t Size() const EXCLUDES(lock_);

private:
    struct Entry {
        std::string destination;
        SSL_SESSION* session;
        uint64_t lastUse;
    };
    std::vector<Entry>::iterator Locate(const std::string& destination) REQUIRES(lock_);
    void DropLeastRecent() REQUIRES(lock_);

    const std::size_t limit_;
    mutable Mutex lock_;
    std::vector<Entry> entries_ GUARDED_BY(lock_);
    uint64_t uses_ GUARDED_BY(lock_) = 0;
};
