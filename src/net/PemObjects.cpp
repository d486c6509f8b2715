#include "net/PemObjects.h"

#include <openssl/pem.h>

namespace {

// The text is read in place: the memory the library reads from is freed
// before the call returns.
template <typename Object, typename Read>
std::unique_ptr<Object, PemObjectFree> ReadFirst(const std::string& pem, Read read) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    Object* object = in != nullptr ? read(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    return std::unique_ptr<Object, PemObjectFree>(object);
}

}  // namespace

void PemObjectFree::operator()(X509* certificate) const { X509_free(certificate); }
void PemObjectFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

CertificateObject ReadPemCertificate(const std::string& pem) { return ReadFirst<X509>(pem, PEM_read_bio_X509); }

KeyObject ReadPemKey(const std::string& pem) { return ReadFirst<EVP_PKEY>(pem, PEM_read_bio_PrivateKey); }
