// Certificates for the tests of the certificate checks: a test CA, leaves it
// issues for chosen names (DNS names, or an address as "IP:1.2.3.4"), and
// self-signed ones, each with a fresh key unless one is reused; and a TLS
// server on 127.0.0.1 that completes one handshake per connection with
// whichever of them the test puts in place.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "support/LoopbackPeer.h"

namespace certtest {

using Key = std::shared_ptr<EVP_PKEY>;
using Cert = std::shared_ptr<X509>;

inline Key NewKey() { return Key(EVP_EC_gen("P-256"), EVP_PKEY_free); }

struct Identity {
    Key key;
    Cert cert;
};

inline void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// names: "DNS:x" or "IP:x" entries for subjectAltName; the first also
// becomes the common name. issuer null: self-signed.
inline Identity Make(const std::vector<std::string>& names, const Identity* issuer, bool isCa = false,
                     Key key = nullptr) {
    static std::atomic<long> serial{1};
    Identity made{key ? key : NewKey(), Cert(X509_new(), X509_free)};
    X509* cert = made.cert.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, made.key.get());
    std::string common = names.empty() ? "QuilloMark test" : names[0].substr(names[0].find(':') + 1);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common.c_str()),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer->cert.get() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    if (isCa) AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    std::string alternatives;
    for (const std::string& name : names) alternatives += (alternatives.empty() ? "" : ",") + name;
    if (!alternatives.empty()) AddExtension(cert, signer, NID_subject_alt_name, alternatives);
    X509_sign(cert, issuer != nullptr ? issuer->key.get() : made.key.get(), EVP_sha256());
    return made;
}

inline bool WritePem(const Identity& identity, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    bool written = PEM_write_X509(out, identity.cert.get()) == 1;
    return std::fclose(out) == 0 && written;
}

// Completes the handshake of one connection with the identity given for it,
// then takes whatever the client sends before it closes: a refused client
// must have sent nothing.
class OneShotTlsServer {
public:
    int port() const { return peer_.port(); }

    // Serves one connection with identity (and its CA's certificate as chain).
    void ServeOnce(const Identity& identity, const Identity* chain = nullptr) {
        peer_.Present(identity.cert.get(), identity.key.get(), chain != nullptr ? chain->cert.get() : nullptr);
        peer_.Serve([this](PeerLink& link) {
            char buffer[256];
            int n;
            while ((n = SSL_read(link.tls(), buffer, sizeof buffer)) > 0) received_ += n;
        });
    }
    void Join() { peer_.Join(); }
    int Received() const { return received_; }

private:
    std::atomic<int> received_{0};
    LoopbackPeer peer_;
};

}  // namespace certtest
