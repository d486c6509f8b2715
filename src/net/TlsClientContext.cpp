#include "net/TlsClientContext.h"

#include <openssl/ssl.h>

TlsClientContext::TlsClientContext(std::size_t sessionLimit) : sessions_(sessionLimit) {}

TlsClientContext::~TlsClientContext() {
    // A connection that outlives this object must not file sessions here.
    if (SSL_CTX* context = context_.load()) {
        SSL_CTX_set_app_data(context, nullptr);
        SSL_CTX_free(context);
    }
}

NetResult TlsClientContext::Prepare() {
    if (context_.load(std::memory_order_acquire) != nullptr) return NetResult::Ok;
    MutexLock hold(prepareLock_);
    if (context_.load() != nullptr) return NetResult::Ok;
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
        return NetResult::TlsInitFailure;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return NetResult::TlsContextFailure;
    // Many mail servers drop TCP without a close-notify; that is an end of
    // data, not a failure.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // A mail session sits idle most of its life; its read and write buffers
    // (some 34 KB) go back to the heap whenever they are empty.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    // The library's own client cache is keyed by nothing useful; sessions
    // are filed here by destination as they arrive. On TLS 1.3 they arrive
    // after the handshake, with the first records read.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, &TlsClientContext::OnNewSession);
    SSL_CTX_set_app_data(context, this);
    context_.store(context, std::memory_order_release);
    return NetResult::Ok;
}

SSL* TlsClientContext::NewConnection(const std::string* destination) {
    SSL_CTX* context = context_.load(std::memory_order_acquire);
    if (context == nullptr || destination == nullptr) return nullptr;
    SSL* tls = SSL_new(context);
    if (tls == nullptr) return nullptr;
    SSL_set_app_data(tls, const_cast<std::string*>(destination));
    if (SSL_SESSION* session = sessions_.Find(*destination)) {
        SSL_set_session(tls, session);  // takes a reference of its own
        SSL_SESSION_free(session);
    }
    return tls;
}

int TlsClientContext::OnNewSession(SSL* tls, SSL_SESSION* session) {
    auto* owner = static_cast<TlsClientContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(tls)));
    auto* destination = static_cast<const std::string*>(SSL_get_app_data(tls));
    if (owner == nullptr || destination == nullptr) return 0;
    owner->sessions_.Store(*destination, session);
    return 0;  // the cache keeps a copy; the connection keeps its own
}
