// PemObjects are the owners of the certificate and key objects the TLS
// library reads from PEM text: the local certificate's checks, the server
// context that presents it and the tests all read the same way, and every
// object is freed on every path.
#pragma once

#include <memory>
#include <string>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

struct PemObjectFree {
    void operator()(X509* certificate) const;
    void operator()(EVP_PKEY* key) const;
};
using CertificateObject = std::unique_ptr<X509, PemObjectFree>;
using KeyObject = std::unique_ptr<EVP_PKEY, PemObjectFree>;

// The first certificate in pem; null when there is none.
CertificateObject ReadPemCertificate(const std::string& pem);
// The first private key in pem; null when there is none.
KeyObject ReadPemKey(const std::string& pem);
