#include "net/LocalCertificate.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include "net/PemObjects.h"
#include "support/TempDir.h"

namespace {

constexpr std::time_t kDay = 24 * 60 * 60;

// Whole days from now to the end of the certificate in pem.
int DaysLeft(const std::string& pem, std::time_t now) {
    CertificateObject certificate = ReadPemCertificate(pem);
    int days = 0, seconds = 0;
    ASN1_TIME* from = ASN1_TIME_set(nullptr, now);
    if (certificate) ASN1_TIME_diff(&days, &seconds, from, X509_get0_notAfter(certificate.get()));
    ASN1_TIME_free(from);
    return days;
}

class LocalCertificateTest : public ::testing::Test {
protected:
    std::string Cert() const { return dir.File("cert.pem"); }
    std::string Key() const { return dir.File("key.pem"); }
    CertificateAction Ensure(CertificatePair& pair) {
        CertificateAction action = CertificateAction::Kept;
        EXPECT_EQ(EnsureLocalCertificate(Cert(), Key(), now, pair, action), NetResult::Ok);
        return action;
    }
    void Place(const CertificatePair& pair) {
        dir.Write("cert.pem", pair.certificatePem);
        dir.Write("key.pem", pair.keyPem);
    }

    TempDir dir;
    std::time_t now = std::time(nullptr);
};

TEST_F(LocalCertificateTest, TheFirstIsMadeForLocalhostWithAPrivateKeyAndThenKept) {
    CertificatePair made;
    ASSERT_EQ(Ensure(made), CertificateAction::Made);
    struct stat key {};
    ASSERT_EQ(stat(Key().c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    CertificateObject parsed = ReadPemCertificate(made.certificatePem);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(DaysLeft(made.certificatePem, now), kLocalCertificateDays);
    EXPECT_EQ(X509_check_host(parsed.get(), "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(parsed.get(), "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(parsed.get(), "example.com", 0, 0, nullptr), 0);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(parsed.get())), 256);
    EXPECT_EQ(CertificateFingerprint(made.certificatePem).size(), 32u * 3 - 1);

    CertificatePair again;
    EXPECT_EQ(Ensure(again), CertificateAction::Kept);
    EXPECT_EQ(again.certificatePem, made.certificatePem);
}

TEST_F(LocalCertificateTest, OneThatEndsIn29DaysIsRenewedAndOneIn31Kept) {
    for (int daysLeft : {29, 31}) {
        CertificatePair old;
        ASSERT_EQ(MakeLocalCertificate(now - (kLocalCertificateDays - daysLeft) * kDay, kLocalCertificateDays, old),
                  NetResult::Ok);
        Place(old);
        CertificatePair pair;
        CertificateAction action = Ensure(pair);
        if (daysLeft == 29) {
            EXPECT_EQ(action, CertificateAction::Renewed);
            EXPECT_NE(CertificateFingerprint(pair.certificatePem), CertificateFingerprint(old.certificatePem));
            EXPECT_EQ(DaysLeft(pair.certificatePem, now), kLocalCertificateDays);
            EXPECT_EQ(ReadCertificateFile(Cert()), pair.certificatePem) << "written where it is read";
        } else {
            EXPECT_EQ(action, CertificateAction::Kept);
        }
    }
}

TEST_F(LocalCertificateTest, BrokenOrMismatchedFilesAreReplacedNeverUsed) {
    CertificatePair a, b;
    ASSERT_EQ(MakeLocalCertificate(now, 100, a), NetResult::Ok);
    ASSERT_EQ(MakeLocalCertificate(now, 100, b), NetResult::Ok);
    const CertificatePair broken[] = {
        {"-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n", a.keyPem},
        {a.certificatePem, std::string(70000, 'x')},
        {a.certificatePem, b.keyPem},
        {a.certificatePem.substr(0, a.certificatePem.size() / 2), a.keyPem},
    };
    for (const CertificatePair& files : broken) {
        Place(files);
        CertificatePair pair;
        EXPECT_EQ(Ensure(pair), CertificateAction::Replaced);
        EXPECT_NE(pair.certificatePem, a.certificatePem);
        CertificatePair kept;
        EXPECT_EQ(Ensure(kept), CertificateAction::Kept) << "the new pair is whole";
    }
    // A pipe in the certificate's place is never opened for reading, which
    // would wait for a writer for ever.
    std::remove(Cert().c_str());
    ASSERT_EQ(mkfifo(Cert().c_str(), 0600), 0);
    CertificatePair pair;
    EXPECT_EQ(Ensure(pair), CertificateAction::Replaced);
    EXPECT_EQ(ReadCertificateFile(Cert()), pair.certificatePem) << "a file stands where the pipe was";
}

}  // namespace
