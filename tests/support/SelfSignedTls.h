// The one self-signed certificate the tests' TLS peers present: a fresh
// P-256 key and a one-hour certificate for a name of the caller's choosing,
// wrapped in a server context. The code under test never verifies upstream
// certificates, so nothing more than a working handshake is needed.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

// A server context holding the certificate and its key; the caller frees it
// with SSL_CTX_free.
inline SSL_CTX* MakeSelfSignedServerContext(const char* commonName = "127.0.0.1") {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    // The context keeps its own references to both.
    SSL_CTX_use_certificate(context, cert);
    SSL_CTX_use_PrivateKey(context, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return context;
}
