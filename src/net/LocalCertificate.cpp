#include "net/LocalCertificate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "net/PemObjects.h"
#include "platform/ReplaceFile.h"
#include "platform/UniqueFd.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* object) const { Free(object); }
};
using Memory = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Number = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;

constexpr long kSecondsPerDay = 24L * 60 * 60;
// Both files are a few hundred bytes; anything far larger is not ours.
constexpr std::size_t kFileLimit = 64 * 1024;

std::string Drain(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool AddExtension(X509* certificate, X509V3_CTX& v3, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    bool added = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A self-signed certificate may stand as its own trust anchor: it says it
// may sign certificates, though it never signs any but itself.
bool AddExtensions(X509* certificate) {
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, certificate, certificate, nullptr, nullptr, 0);
    return AddExtension(certificate, v3, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
           AddExtension(certificate, v3, NID_key_usage, "critical,digitalSignature,keyCertSign") &&
           AddExtension(certificate, v3, NID_ext_key_usage, "serverAuth") &&
           AddExtension(certificate, v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") &&
           AddExtension(certificate, v3, NID_subject_key_identifier, "hash") &&
           AddExtension(certificate, v3, NID_authority_key_identifier, "keyid:always");
}

// A random serial: a new certificate for the same name must never look like
// the one it replaces to a client that remembers it.
bool SetSerial(X509* certificate) {
    Number serial(BN_new());
    if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1) return false;
    return BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

bool SetNames(X509* certificate) {
    X509_NAME* name = X509_get_subject_name(certificate);
    const auto* common = reinterpret_cast<const unsigned char*>("localhost");
    const auto* organisation = reinterpret_cast<const unsigned char*>("QuilloMark on this computer");
    return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, organisation, -1, -1, 0) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) == 1 &&
           X509_set_issuer_name(certificate, name) == 1;
}

bool SetValidity(X509* certificate, std::time_t validFrom, int32_t days) {
    std::time_t from = validFrom;
    return X509_time_adj_ex(X509_getm_notBefore(certificate), 0, 0, &from) != nullptr &&
           X509_time_adj_ex(X509_getm_notAfter(certificate), days, 0, &from) != nullptr;
}

bool WritePem(const CertificateObject& certificate, const KeyObject& key, CertificatePair& pair) {
    Memory certificateOut(BIO_new(BIO_s_mem()));
    Memory keyOut(BIO_new(BIO_s_mem()));
    if (!certificateOut || !keyOut || PEM_write_bio_X509(certificateOut.get(), certificate.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    pair.certificatePem = Drain(certificateOut.get());
    pair.keyPem = Drain(keyOut.get());
    return true;
}

// Only a regular file is read, and opening never waits: a pipe or a device
// put in the file's place would otherwise hold the start-up for ever.
std::string ReadSmallFile(const std::string& path) {
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::string();
    std::string text(kFileLimit, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        ssize_t got = read(file.Get(), text.data() + filled, text.size() - filled);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

// Whether the pair read from the files can be served, and until when.
enum class PairState { Good, EndsSoon, Broken };

PairState Judge(const CertificatePair& pair, std::time_t now) {
    CertificateObject certificate = ReadPemCertificate(pair.certificatePem);
    KeyObject key = ReadPemKey(pair.keyPem);
    if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) return PairState::Broken;
    std::time_t renewFrom = now + kLocalCertificateRenewDays * kSecondsPerDay;
    // A clock set back before its start makes it useless just as much.
    if (X509_cmp_time(X509_get0_notBefore(certificate.get()), &now) > 0) return PairState::EndsSoon;
    if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &renewFrom) <= 0) return PairState::EndsSoon;
    return PairState::Good;
}

// The key first: a crash between the two leaves a pair that does not match,
// which the next start replaces.
NetResult WriteFiles(const std::string& certificatePath, const std::string& keyPath, const CertificatePair& pair) {
    if (!ReplaceFile(keyPath, pair.keyPem, 0600)) return NetResult::CertificateUnwritable;
    if (!ReplaceFile(certificatePath, pair.certificatePem, 0644)) return NetResult::CertificateUnwritable;
    return NetResult::Ok;
}

}  // namespace

NetResult MakeLocalCertificate(std::time_t validFrom, int32_t days, CertificatePair& pair) {
    KeyObject key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    CertificateObject certificate(X509_new());
    if (!key || !certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        !SetSerial(certificate.get()) || !SetNames(certificate.get()) ||
        !SetValidity(certificate.get(), validFrom, days) || X509_set_pubkey(certificate.get(), key.get()) != 1 ||
        !AddExtensions(certificate.get()) || X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0 ||
        !WritePem(certificate, key, pair))
        return NetResult::KeyGenerationFailure;
    return NetResult::Ok;
}

NetResult EnsureLocalCertificate(const std::string& certificatePath, const std::string& keyPath, std::time_t now,
                                 CertificatePair& pair, CertificateAction& action) {
    CertificatePair found{ReadSmallFile(certificatePath), ReadSmallFile(keyPath)};
    PairState state = Judge(found, now);
    if (state == PairState::Good) {
        // A key file someone opened up is closed again.
        chmod(keyPath.c_str(), 0600);
        pair = found;
        action = CertificateAction::Kept;
        return NetResult::Ok;
    }
    bool none = found.certificatePem.empty() && found.keyPem.empty();
    action = state == PairState::EndsSoon ? CertificateAction::Renewed
             : none                       ? CertificateAction::Made
                                          : CertificateAction::Replaced;
    CertificatePair fresh;
    NetResult made = MakeLocalCertificate(now, kLocalCertificateDays, fresh);
    if (made != NetResult::Ok) return made;
    NetResult written = WriteFiles(certificatePath, keyPath, fresh);
    if (written != NetResult::Ok) return written;
    pair = fresh;
    return NetResult::Ok;
}

std::string CertificateFingerprint(const std::string& pem) {
    CertificateObject certificate = ReadPemCertificate(pem);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) return std::string();
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

std::string ReadCertificateFile(const std::string& path) {
    CertificateObject certificate = ReadPemCertificate(ReadSmallFile(path));
    Memory out(BIO_new(BIO_s_mem()));
    if (!certificate || !out || PEM_write_bio_X509(out.get(), certificate.get()) != 1) return std::string();
    return Drain(out.get());
}
