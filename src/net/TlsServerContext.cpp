#include "net/TlsServerContext.h"

#include <openssl/ssl.h>

#include "net/PemObjects.h"

namespace {

bool LoadPair(SSL_CTX* context, const std::string& certificatePem, const std::string& keyPem) {
    CertificateObject certificate = ReadPemCertificate(certificatePem);
    KeyObject key = ReadPemKey(keyPem);
    // The context takes references of its own.
    return certificate && key && SSL_CTX_use_certificate(context, certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(context, key.get()) == 1 && SSL_CTX_check_private_key(context) == 1;
}

}  // namespace

TlsServerContext::~TlsServerContext() {
    MutexLock hold(lock_);
    SSL_CTX_free(context_);
}

NetResult TlsServerContext::Use(const std::string& certificatePem, const std::string& keyPem) {
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
        return NetResult::TlsInitFailure;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return NetResult::TlsContextFailure;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    // A mail client that drops TCP without a close-notify has ended its data.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An idle mail client costs no TLS buffers while nothing is under way.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    // Tickets carry the session to the client, so the server keeps nothing
    // per client between its connections.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_clear_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context, 2);
    if (!LoadPair(context, certificatePem, keyPem)) {
        SSL_CTX_free(context);
        return NetResult::CertificateUnusable;
    }
    MutexLock hold(lock_);
    SSL_CTX_free(context_);  // connections made from it keep it until they go
    context_ = context;
    certificatePem_ = certificatePem;
    return NetResult::Ok;
}

bool TlsServerContext::Ready() const {
    MutexLock hold(lock_);
    return context_ != nullptr;
}

std::string TlsServerContext::CertificatePem() const {
    MutexLock hold(lock_);
    return certificatePem_;
}

SSL* TlsServerContext::NewConnection() {
    MutexLock hold(lock_);
    return context_ != nullptr ? SSL_new(context_) : nullptr;
}
