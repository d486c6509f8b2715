#include "net/TlsSessionCache.h"

#include <ctime>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

namespace {

// A session that can be resumed as far as the cache can tell: it has an id.
SSL_SESSION* MakeSession(unsigned char id) {
    SSL_SESSION* session = SSL_SESSION_new();
    unsigned char bytes[32] = {id};
    SSL_SESSION_set1_id(session, bytes, sizeof bytes);
    return session;
}

unsigned char IdOf(const SSL_SESSION* session) {
    unsigned int length = 0;
    const unsigned char* id = SSL_SESSION_get_id(session, &length);
    return length > 0 ? id[0] : 0;
}

// Stores a fresh session with id under destination.
void Put(TlsSessionCache& cache, const std::string& destination, unsigned char id) {
    SSL_SESSION* session = MakeSession(id);
    cache.Store(destination, session);
    SSL_SESSION_free(session);
}

// The id of what destination holds (0: nothing); releases the found reference.
unsigned char Held(TlsSessionCache& cache, const std::string& destination) {
    SSL_SESSION* found = cache.Find(destination);
    if (found == nullptr) return 0;
    unsigned char id = IdOf(found);
    SSL_SESSION_free(found);
    return id;
}

TEST(TlsSessionCacheTest, KeepsTheLatestSessionOfEachDestination) {
    TlsSessionCache cache;
    Put(cache, "mail.example:995", 1);
    Put(cache, "mail.example:465", 2);
    Put(cache, "mail.example:995", 3);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(Held(cache, "mail.example:995"), 3);
    EXPECT_EQ(Held(cache, "mail.example:465"), 2);
    EXPECT_EQ(Held(cache, "mail.example:993"), 0) << "another port shares nothing";
    cache.Forget("mail.example:465");
    EXPECT_EQ(Held(cache, "mail.example:465"), 0);
}

TEST(TlsSessionCacheTest, PastItsLimitTheDestinationUsedLongestAgoGoes) {
    TlsSessionCache cache(2);
    Put(cache, "a:1", 1);
    Put(cache, "b:1", 2);
    EXPECT_EQ(Held(cache, "a:1"), 1);  // a is now the more recent
    Put(cache, "c:1", 3);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(Held(cache, "b:1"), 0);
    EXPECT_EQ(Held(cache, "a:1"), 1);
    EXPECT_EQ(Held(cache, "c:1"), 3);
}

TEST(TlsSessionCacheTest, SessionsThatCannotResumeAreNotKept) {
    TlsSessionCache cache;
    SSL_SESSION* empty = SSL_SESSION_new();  // no id, no ticket
    cache.Store("a:1", empty);
    SSL_SESSION_free(empty);
    EXPECT_EQ(cache.Size(), 0u);
    SSL_SESSION* old = MakeSession(4);
    SSL_SESSION_set_time(old, static_cast<long>(std::time(nullptr)) - 3600);
    SSL_SESSION_set_timeout(old, 60);
    cache.Store("a:1", old);
    SSL_SESSION_free(old);
    EXPECT_EQ(Held(cache, "a:1"), 0) << "an expired session is dropped when looked up";
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(TlsSessionCacheTest, ASessionSpentByItsConnectionStaysResumableInTheCache) {
    // The library marks a connection's session as spent when the connection
    // ends without a close-notify; that must not reach the cache's copy.
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    TlsSessionCache cache;
    SSL_SESSION* stored = MakeSession(5);
    cache.Store("a:1", stored);
    SSL_CTX_remove_session(context, stored);
    EXPECT_FALSE(SSL_SESSION_is_resumable(stored));
    SSL_SESSION_free(stored);

    SSL_SESSION* found = cache.Find("a:1");
    ASSERT_NE(found, nullptr);
    SSL_CTX_remove_session(context, found);
    SSL_SESSION_free(found);
    found = cache.Find("a:1");
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(SSL_SESSION_is_resumable(found));
    EXPECT_EQ(IdOf(found), 5);
    SSL_SESSION_free(found);
    SSL_CTX_free(context);
}

}  // namespace
