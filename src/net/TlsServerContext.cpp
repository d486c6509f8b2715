#include "net/TlsServerContext.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace {

// Frees what the library hands back, on every path.
struct PemInput {
    explicit PemInput(const std::string& text) : bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))) {}
    ~PemInput() { BIO_free(bio); }
    PemInput(const PemInput&) = delete;
    PemInput& operator=(const PemInput&) = delete;
    BIO* bio;
};

bool LoadPair(SSL_CTX* context, const std::string& certificatePem, const std::string& keyPem) {
    PemInput certificateText(certificatePem);
    PemInput keyText(keyPem);
    if (certificateText.bio == nullptr || keyText.bio == nullptr) return false;
    X509* certificate = PEM_read_bio_X509(certificateText.bio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyText.bio, nullptr, nullptr, nullptr);
    // The context takes references of its own.
    bool loaded = certificate != nullptr && key != nullptr && SSL_CTX_use_certificate(context, certificate) == 1 &&
                  SSL_CTX_use_PrivateKey(context, key) == 1 && SSL_CTX_check_private_key(context) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    return loaded;
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
