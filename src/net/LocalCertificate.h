// LocalCertificate is the user's own certificate for the local TLS ports:
// made on this machine, for "localhost" and 127.0.0.1, with a P-256 key. No
// public CA vouches for it; the user's mail programs trust it because the
// user told them to, by its fingerprint or by the exported file. It lives in
// two files in the working directory, the key readable by the user alone,
// and is made again when it is missing, unreadable, or near its end.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "net/NetResultCodes.h"

inline constexpr const char* kLocalCertificateFileName = "/Quillomark-cert.pem";
inline constexpr const char* kLocalKeyFileName = "/Quillomark-key.pem";
// The longest validity that clients which check it accept.
inline constexpr int32_t kLocalCertificateDays = 825;
// Renewed this long before it ends, so that a program that runs only now and
// then still renews in time.
inline constexpr int32_t kLocalCertificateRenewDays = 30;

struct CertificatePair {
    std::string certificatePem;
    std::string keyPem;
};

// What EnsureLocalCertificate did.
enum class CertificateAction : uint8_t {
    Kept,      // the files hold a good pair that does not end soon
    Made,      // there was none: a new pair was written
    Renewed,   // the pair ends within the renewal time (or is not valid yet): a new one was written
    Replaced,  // the files could not be read or do not belong together: a new pair was written
};

// Makes a new key and a certificate valid from validFrom for days: Ok or
// KeyGenerationFailure.
NetResult MakeLocalCertificate(std::time_t validFrom, int32_t days, CertificatePair& pair);

// Reads the pair at certificatePath and keyPath and keeps it when it is good
// at now and for more than the renewal time; otherwise makes a new one from
// now on and writes both files (the key file private to the user). Ok with
// the pair in use and what was done, KeyGenerationFailure or
// CertificateUnwritable (the files then stay as they were).
NetResult EnsureLocalCertificate(const std::string& certificatePath, const std::string& keyPath, std::time_t now,
                                 CertificatePair& pair, CertificateAction& action);

// The certificate's SHA-256 fingerprint as its users compare it: upper-case
// hex pairs joined by colons; empty when pem holds no certificate.
std::string CertificateFingerprint(const std::string& pem);

// The first certificate of the file at path as PEM text; empty when there is
// none. Reads at most a few kilobytes.
std::string ReadCertificateFile(const std::string& path);
