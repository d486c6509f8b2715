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

    // Keeps a copy of session in place of what destination held; one that
    // cannot be resumed is not kept. The caller keeps its own session.
    void Store(const std::string& destination, const SSL_SESSION* session);
    // A copy of the session of destination for the caller (who releases
    // it), or null. One that has expired is dropped instead.
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
