// The certificate checks of the one TLS client context, against a real TLS
// server: a name's chain and name, an address's known key, renewal and swap.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/TlsStream.h"
#include "net/TestCertificates.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {

using namespace certtest;

// Which certificate the server presents on a connection.
enum class Served {
    CaLocalhost,       // issued by the test CA for localhost and 127.0.0.1
    CaLocalhostRenew,  // the same names, a new key, the same CA
    CaOtherName,       // issued by the test CA for another name only
    SelfSignedSame,    // self-signed, localhost and 127.0.0.1, its own key
    SelfSignedOther,   // self-signed, the same names, another key
};

struct Step {
    Served served;
    PeerVerdict expected;
};

struct CheckCase {
    const char* name;
    const char* host;  // what the candidate says: a name or an address
    bool trustTestCa;  // TLS_CA_FILE names the test CA
    std::vector<Step> steps;
    // The known key after the last step: the fingerprint of this step's
    // certificate (index), or -1 for no record.
    int recordedFrom;
};

class CertificateCheckTest : public ::testing::TestWithParam<CheckCase> {
protected:
    void SetUp() override {
        ca = Make({}, nullptr, true);
        const std::vector<std::string> local = {"DNS:localhost", "IP:127.0.0.1"};
        identities[Served::CaLocalhost] = Make(local, &ca);
        identities[Served::CaLocalhostRenew] = Make(local, &ca);
        identities[Served::CaOtherName] = Make({"DNS:elsewhere.test"}, &ca);
        identities[Served::SelfSignedSame] = Make(local, nullptr, false, identities[Served::CaLocalhost].key);
        identities[Served::SelfSignedOther] = Make(local, nullptr);
        ASSERT_TRUE(WritePem(ca, dir.File("ca.pem")));
    }

    // One connection: the handshake and the verdict; a refused stream sends nothing.
    PeerVerdict Connect(Served served, TlsClientContext& context, const char* host, CertificateRefusal& refusal) {
        server.ServeOnce(identities[served]);
        int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = LoopbackAddress(server.port());
        EXPECT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        TlsStream stream;
        EXPECT_EQ(stream.Attach(context, sock, host, server.port()), NetResult::Ok);
        bool shook = stream.Handshake(DeadlineAfterSeconds(20));
        PeerVerdict verdict = stream.Verdict();
        EXPECT_EQ(shook, verdict != PeerVerdict::Refused);
        if (shook) {
            EXPECT_EQ(stream.Write("QUIT\r\n", 6, DeadlineAfterSeconds(5)), 6);
        }
        refusal = stream.Refusal();
        stream.Release();
        close(sock);
        server.Join();
        return verdict;
    }

    std::string Fingerprint(Served served) { return PublicKeyFingerprint(identities[served].cert.get()); }

    TempDir dir;
    Identity ca;
    std::map<Served, Identity> identities;
    OneShotTlsServer server;
};

TEST_P(CertificateCheckTest, VerdictsAndRecord) {
    const CheckCase& c = GetParam();
    TlsClientContext context;
    context.Configure(c.trustTestCa ? dir.File("ca.pem") : "", dir.File("known.txt"));
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        CertificateRefusal refusal;
        int before = server.Received();
        PeerVerdict verdict = Connect(c.steps[i].served, context, c.host, refusal);
        EXPECT_EQ(verdict, c.steps[i].expected) << "step " << i;
        if (verdict == PeerVerdict::Refused) {
            EXPECT_EQ(server.Received(), before) << "a refused connection carried bytes";
            EXPECT_EQ(refusal.presented, Fingerprint(c.steps[i].served));
            EXPECT_EQ(refusal.port, server.port());
        }
        if (verdict == PeerVerdict::Renewed) {
            EXPECT_EQ(refusal.presented, Fingerprint(c.steps[i].served));
        }
    }
    // What a new process reads back from the file.
    KnownServers reread;
    reread.SetPath(dir.File("known.txt"));
    KnownServer known;
    bool found = reread.Find(c.host, server.port(), known);
    if (c.recordedFrom < 0) {
        EXPECT_FALSE(found);
    } else {
        ASSERT_TRUE(found);
        EXPECT_EQ(known.fingerprint, Fingerprint(c.steps[static_cast<std::size_t>(c.recordedFrom)].served));
    }
}

using V = PeerVerdict;
using S = Served;
INSTANTIATE_TEST_SUITE_P(
    Servers, CertificateCheckTest,
    ::testing::Values(
        CheckCase{"NameWithTrustedChain", "localhost", true, {{S::CaLocalhost, V::Trusted}}, -1},
        CheckCase{"NameWithoutTheCa", "localhost", false, {{S::CaLocalhost, V::Refused}}, -1},
        CheckCase{"NameSelfSigned", "localhost", true, {{S::SelfSignedOther, V::Refused}}, -1},
        CheckCase{"NameNotInCertificate", "localhost", true, {{S::CaOtherName, V::Refused}}, -1},
        CheckCase{"AddressFirstUseThenSame",
                  "127.0.0.1",
                  false,
                  {{S::SelfSignedOther, V::Trusted}, {S::SelfSignedOther, V::Trusted}},
                  0},
        // The same key in a new self-signed certificate is the same server.
        CheckCase{"AddressSameKeyNewCertificate",
                  "127.0.0.1",
                  false,
                  {{S::CaLocalhost, V::Trusted}, {S::SelfSignedSame, V::Trusted}},
                  0},
        CheckCase{"AddressRenewalByCa",
                  "127.0.0.1",
                  true,
                  {{S::CaLocalhost, V::Trusted}, {S::CaLocalhostRenew, V::Renewed}, {S::CaLocalhostRenew, V::Trusted}},
                  1},
        CheckCase{"AddressSwappedForSelfSigned",
                  "127.0.0.1",
                  true,
                  {{S::CaLocalhost, V::Trusted}, {S::SelfSignedOther, V::Refused}, {S::SelfSignedOther, V::Refused}},
                  0},
        // A CA-issued key that drops the recorded names is no renewal.
        CheckCase{"AddressRenewalWithoutTheNames",
                  "127.0.0.1",
                  true,
                  {{S::CaLocalhost, V::Trusted}, {S::CaOtherName, V::Refused}},
                  0},
        // Without the CA trusted, a new key cannot show it is a renewal.
        CheckCase{"AddressRenewalUnverifiable",
                  "127.0.0.1",
                  false,
                  {{S::CaLocalhost, V::Trusted}, {S::CaLocalhostRenew, V::Refused}},
                  0}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

}  // namespace
