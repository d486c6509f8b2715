#include "net/TlsSessionCache.h"

#include <algorithm>
#include <ctime>

#include <openssl/ssl.h>

namespace {

bool Expired(const SSL_SESSION* session) {
    return static_cast<time_t>(SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session)) <= std::time(nullptr);
}

}  // namespace

TlsSessionCache::TlsSessionCache(std::size_t limit) : limit_(limit > 0 ? limit : 1) {}

TlsSessionCache::~TlsSessionCache() {
    for (Entry& entry : entries_) SSL_SESSION_free(entry.session);
}

std::vector<TlsSessionCache::Entry>::iterator TlsSessionCache::Locate(const std::string& destination) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& entry) { return entry.destination == destination; });
}

void TlsSessionCache::DropLeastRecent() {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
    SSL_SESSION_free(oldest->session);
    entries_.erase(oldest);
}

void TlsSessionCache::Store(const std::string& destination, const SSL_SESSION* original) {
    if (original == nullptr || !SSL_SESSION_is_resumable(original)) return;
    SSL_SESSION* session = SSL_SESSION_dup(original);
    if (session == nullptr) return;
    MutexLock hold(lock_);
    auto found = Locate(destination);
    if (found != entries_.end()) {
        SSL_SESSION_free(found->session);
        found->session = session;
        found->lastUse = ++uses_;
        return;
    }
    if (entries_.size() >= limit_) DropLeastRecent();
    entries_.push_back(Entry{destination, session, ++uses_});
}

SSL_SESSION* TlsSessionCache::Find(const std::string& destination) {
    MutexLock hold(lock_);
    auto found = Locate(destination);
    if (found == entries_.end()) return nullptr;
    if (Expired(found->session)) {
        SSL_SESSION_free(found->session);
        entries_.erase(found);
        return nullptr;
    }
    found->lastUse = ++uses_;
    return SSL_SESSION_dup(found->session);
}

void TlsSessionCache::Forget(const std::string& destination) {
    MutexLock hold(lock_);
    auto found = Locate(destination);
    if (found == entries_.end()) return;
    SSL_SESSION_free(found->session);
    entries_.erase(found);
}

std::size_t TlsSessionCache::Size() const {
    MutexLock hold(lock_);
    return entries_.size();
}
