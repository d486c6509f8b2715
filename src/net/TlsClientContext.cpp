#include "net/TlsClientContext.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

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
    // The chain is verified on every full handshake but never ends one by
    // itself: CheckPeer judges the outcome, because a server reached by
    // address is trusted by its known key, not by a CA.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    TrustSameCas(context, caFile_);
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

void TlsClientContext::Configure(const std::string& caFile, const std::string& knownServersPath) {
    {
        MutexLock hold(prepareLock_);
        caFile_ = caFile;
    }
    known_.SetPath(knownServersPath);
}

namespace {

bool NamesEveryone(X509* certificate, const std::vector<std::string>& names) {
    std::vector<std::string> carried = CertificateNames(certificate);
    for (const std::string& name : names) {
        bool found = X509_check_host(certificate, name.data(), name.size(), 0, nullptr) == 1;
        for (const std::string& other : carried) found = found || OPENSSL_strcasecmp(other.c_str(), name.c_str()) == 0;
        if (!found) return false;
    }
    return true;
}

}  // namespace

PeerVerdict TlsClientContext::CheckPeer(SSL* tls, const std::string& host, int32_t port,
                                        CertificateRefusal& refusal) {
    refusal = CertificateRefusal{};
    refusal.server = host;
    refusal.port = port;
    // The session was made by a handshake that passed this check.
    if (SSL_session_reused(tls) == 1) return PeerVerdict::Trusted;
    X509* certificate = SSL_get0_peer_certificate(tls);
    if (certificate == nullptr) {
        refusal.reason = "no certificate";
        return PeerVerdict::Refused;
    }
    refusal.presented = PublicKeyFingerprint(certificate);
    refusal.names = CertificateNames(certificate);
    long verified = SSL_get_verify_result(tls);
    const bool chainVerifies = verified == X509_V_OK;
    const char* chainReason = X509_verify_cert_error_string(verified);

    if (!IsAddressLiteral(host.c_str())) {
        if (chainVerifies && X509_check_host(certificate, host.data(), host.size(), 0, nullptr) == 1)
            return PeerVerdict::Trusted;
        refusal.reason = chainVerifies ? "the certificate does not name the server" : chainReason;
        return PeerVerdict::Refused;
    }
    if (refusal.presented.empty()) {
        refusal.reason = "no public key";
        return PeerVerdict::Refused;
    }
    KnownServer known;
    KnownServer seen{host, port, refusal.presented, refusal.names};
    if (!known_.Find(host, port, known)) {
        known_.Store(seen);
        return PeerVerdict::Trusted;
    }
    if (known.fingerprint == refusal.presented) return PeerVerdict::Trusted;
    refusal.recorded = known.fingerprint;
    if (chainVerifies && NamesEveryone(certificate, known.names)) {
        known_.Store(seen);
        return PeerVerdict::Renewed;
    }
    refusal.reason = chainVerifies ? "the new certificate does not carry the recorded names" : chainReason;
    return PeerVerdict::Refused;
}

void TrustSameCas(SSL_CTX* context, const std::string& caFile) {
    SSL_CTX_set_default_verify_paths(context);
    // A CA file that cannot be read adds nothing; the servers it would have
    // vouched for then fail their check and say so.
    if (!caFile.empty()) SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr);
}

std::string PublicKeyFingerprint(X509* certificate) {
    if (certificate == nullptr) return "";
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    bool made = EVP_Digest(der, static_cast<std::size_t>(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!made) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digestLength; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

std::vector<std::string> CertificateNames(X509* certificate) {
    std::vector<std::string> names;
    if (certificate == nullptr) return names;
    auto* alternatives =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives != nullptr && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(alternatives, i);
        if (entry->type != GEN_DNS) continue;
        const ASN1_IA5STRING* dns = entry->d.dNSName;
        names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                           static_cast<std::size_t>(ASN1_STRING_length(dns)));
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        char common[256];
        int got = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common, sizeof common);
        if (got > 0) names.emplace_back(common, static_cast<std::size_t>(got));
    }
    // Only names the record can hold survive; a hostile certificate must not
    // break the line.
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        bool plain = !name.empty() && name.size() <= 253;
        for (char c : name) {
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            plain = plain && (letter || c == '.' || c == '-' || c == '*' || c == '_');
        }
        if (plain && kept.size() < 64) kept.push_back(name);
    }
    return kept;
}
