#include "core/MailCode.h"

#include <openssl/evp.h>

#include <bitset>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "core/MailCodeKeys.h"
#include "support/ContextFixture.h"
#include "support/OutcomeText.h"

namespace {

// Encrypts with OpenSSL's own Triple-DES EDE CBC, independent of the code
// under test, so that the decoder is held to the standard cipher and not
// merely to itself.
std::vector<unsigned char> ReferenceEncrypt(const MailCodeKeys& keys,
                                            std::vector<unsigned char> plain) {
    plain.resize((plain.size() + 7) / 8 * 8, 0);
    unsigned char key[24];
    std::memcpy(key, keys.key1, 8);
    std::memcpy(key + 8, keys.key2, 8);
    std::memcpy(key + 16, keys.key3, 8);
    std::vector<unsigned char> cipher(plain.size() + 8);
    EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
    int length = 0, tail = 0;
    EVP_EncryptInit_ex(evp, EVP_des_ede3_cbc(), nullptr, key, keys.iv);
    EVP_CIPHER_CTX_set_padding(evp, 0);
    EVP_EncryptUpdate(evp, cipher.data(), &length, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(evp, cipher.data() + length, &tail);
    EVP_CIPHER_CTX_free(evp);
    cipher.resize(static_cast<std::size_t>(length + tail));
    return cipher;
}

std::string ToHex(const std::vector<unsigned char>& bytes, bool upper = true) {
    std::string hex;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", b);
        hex += pair;
    }
    return hex;
}

std::vector<unsigned char> Bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

bool OddParity(const unsigned char (&block)[8]) {
    for (unsigned char b : block) {
        if (std::bitset<8>(b).count() % 2 == 0) return false;
    }
    return true;
}

class MailCodeTest : public CoreContextTest {
protected:
    MailCodeTest() : CoreContextTest(10'000'000) { BuildMailCodeKeys(ctx.mailCodeKeys); }
    std::string Read(const std::string& hex, std::size_t outSize = kConfigTextSize) {
        std::vector<char> out(outSize, 'Z');
        ReadMailCode(ctx, hex.c_str(), out.data(), out.size());
        return std::string(out.data());
    }
    std::string Log() { return ClosedLog(); }
};

TEST(MailCodeKeysTest, KeysAreOddParityDistinctAndAccepted) {
    MailCodeKeys keys{};
    BuildMailCodeKeys(keys);
    EXPECT_TRUE(OddParity(keys.key1));
    EXPECT_TRUE(OddParity(keys.key2));
    EXPECT_TRUE(OddParity(keys.key3));
    EXPECT_TRUE(OddParity(keys.iv));
    // Equal neighbouring keys would collapse Triple-DES into single DES.
    EXPECT_NE(0, std::memcmp(keys.key1, keys.key2, 8));
    EXPECT_NE(0, std::memcmp(keys.key2, keys.key3, 8));
    EXPECT_NE(0, std::memcmp(keys.key1, keys.key3, 8));
    // The checked schedules (parity and weak keys) accept all three.
    unsigned char block[8] = {}, out[9];
    EXPECT_EQ(CoreResult::Ok, DecryptMailCode(keys, block, 8, out));

    MailCodeKeys again{};
    BuildMailCodeKeys(again);
    EXPECT_EQ(0, std::memcmp(&keys, &again, sizeof keys));
}

TEST(HexPairToByteTest, ReadsLeadingHexDigitsOnly) {
    EXPECT_EQ(0x4f, HexPairToByte("4F"));
    EXPECT_EQ(0x4f, HexPairToByte("4f"));
    EXPECT_EQ(0xff, HexPairToByte("ff"));
    EXPECT_EQ(0x00, HexPairToByte("00"));
    EXPECT_EQ(0x0a, HexPairToByte("A"));
    EXPECT_EQ(0x01, HexPairToByte("1G"));
    EXPECT_EQ(0x00, HexPairToByte("G1"));
    EXPECT_EQ(0x00, HexPairToByte("  "));
    EXPECT_EQ(0x00, HexPairToByte(""));
    EXPECT_EQ(0x00, HexPairToByte(nullptr));
    EXPECT_EQ(0xab, HexPairToByte("abcdef")) << "never more than two characters";
}

TEST(DecryptMailCodeTest, RefusesBadCountsBuffersAndKeys) {
    MailCodeKeys keys{};
    BuildMailCodeKeys(keys);
    unsigned char in[16] = {}, out[17];
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(keys, in, 7, out));
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(keys, in, 9, out));
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(keys, in, -8, out));
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(keys, nullptr, 8, out));
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(keys, in, 8, nullptr));

    MailCodeKeys weak = keys;
    std::memset(weak.key2, 0x01, 8);  // a weak key with odd parity
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(weak, in, 8, out));
    MailCodeKeys badParity = keys;
    badParity.key3[0] ^= 0x01;
    EXPECT_EQ(CoreResult::MailCodeRefused, DecryptMailCode(badParity, in, 8, out));

    out[0] = 'x';
    EXPECT_EQ(CoreResult::Ok, DecryptMailCode(keys, in, 0, out));
    EXPECT_EQ('\0', out[0]);
}

TEST(DecryptMailCodeTest, MatchesStandardTripleDes) {
    MailCodeKeys keys{};
    BuildMailCodeKeys(keys);
    std::string text = "a text across three blocks!";
    std::vector<unsigned char> cipher = ReferenceEncrypt(keys, Bytes(text));
    ASSERT_EQ(32u, cipher.size());
    std::vector<unsigned char> out(cipher.size() + 1, 0xee);
    ASSERT_EQ(CoreResult::Ok, DecryptMailCode(keys, cipher.data(), static_cast<int>(cipher.size()), out.data()));
    EXPECT_EQ(text, std::string(reinterpret_cast<char*>(out.data())));
    EXPECT_EQ(0, out[cipher.size()]) << "terminator after the last byte";
}

TEST_F(MailCodeTest, OneBlockAndEitherLetterCase) {
    std::vector<unsigned char> cipher = ReferenceEncrypt(ctx.mailCodeKeys, Bytes("login"));
    ASSERT_EQ(16u, ToHex(cipher).size());
    EXPECT_EQ("login", Read(ToHex(cipher, true)));
    EXPECT_EQ("login", Read(ToHex(cipher, false)));
    std::string mixed = ToHex(cipher, true);
    for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(std::tolower(mixed[i]));
    EXPECT_EQ("login", Read(mixed));
    EXPECT_EQ(std::string::npos, Log().find("read mail code failed"));
}

TEST_F(MailCodeTest, EmptyTextDecodesToEmptyWithoutLog) {
    EXPECT_EQ("", Read(""));
    EXPECT_EQ(std::string::npos, Log().find("read mail code failed"));
}

TEST_F(MailCodeTest, IncompleteBlocksFail) {
    std::string hex = ToHex(ReferenceEncrypt(ctx.mailCodeKeys, Bytes("login")));
    EXPECT_EQ("", Read(hex + "AB")) << "9 bytes";
    EXPECT_EQ("", Read(hex + "A")) << "an odd length ends with one character";
    EXPECT_EQ("", Read(hex.substr(0, 14)));
    EXPECT_NE(std::string::npos, Log().find("[UI][MAJOR] read mail code failed"));
}

TEST_F(MailCodeTest, OutputNeverExceedsItsBuffer) {
    std::string text(255, 'p');
    std::string hex = ToHex(ReferenceEncrypt(ctx.mailCodeKeys, Bytes(text)));
    ASSERT_EQ(512u, hex.size());
    EXPECT_EQ(std::string(127, 'p'), Read(hex));
    EXPECT_EQ(std::string(9, 'p'), Read(hex, 10));
    EXPECT_EQ("", Read(hex + "0000000000000000")) << "more than one line can hold";
    EXPECT_EQ("", Read(std::string(10'000, 'F')));
}

TEST_F(MailCodeTest, NonHexDigitsGiveGarbleNotCrash) {
    std::string out = Read("ZZ!!..--GGHHIIJJ");
    EXPECT_LE(out.size(), 127u);
    std::string binary;
    for (int i = 1; i < 256; ++i) binary += static_cast<char>(i);
    binary.resize(256);
    EXPECT_LE(Read(binary).size(), 127u);
}

}  // namespace
