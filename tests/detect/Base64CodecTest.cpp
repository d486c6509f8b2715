#include "detect/Base64Codec.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string EncodeText(Base64Codec& codec, const std::string& text) {
    const char* out = codec.Encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return out != nullptr ? out : "<null>";
}

std::string DecodeText(Base64Codec& codec, const std::string& text) {
    std::size_t length = text.size();
    const unsigned char* out = codec.Decode(text.c_str(), length);
    return out != nullptr ? std::string(reinterpret_cast<const char*>(out), length) : "<null>";
}

TEST(Base64CodecTest, EncodesFinalGroupsWithPadding) {
    Base64Codec codec;
    EXPECT_EQ(EncodeText(codec, ""), "");
    EXPECT_EQ(EncodeText(codec, "M"), "TQ==");
    EXPECT_EQ(EncodeText(codec, "Ma"), "TWE=");
    EXPECT_EQ(EncodeText(codec, "Man"), "TWFu");
    EXPECT_EQ(EncodeText(codec, "probe@qm.test"), "cHJvYmVAcW0udGVzdA==");
}

TEST(Base64CodecTest, BreaksAfterEverySeventySixCharacters) {
    Base64Codec codec;
    std::string line57(57, 'x');
    std::string encoded = EncodeText(codec, line57);
    ASSERT_EQ(encoded.size(), 78u);
    EXPECT_EQ(encoded.substr(76), "\r\n");

    encoded = EncodeText(codec, std::string(58, 'x'));
    EXPECT_EQ(encoded.substr(76, 2), "\r\n");
    EXPECT_EQ(encoded.substr(78), "eA==");

    encoded = EncodeText(codec, std::string(114, 'x'));
    EXPECT_EQ(encoded.size(), 2u * 78u);
    EXPECT_EQ(encoded.substr(154), "\r\n");
}

TEST(Base64CodecTest, HighBytesEncodeLikeAnyOther) {
    Base64Codec codec;
    const unsigned char high[] = {0xFF, 0xFE, 0x80, 0xC3, 0xA9};
    EXPECT_STREQ(codec.Encode(high, 3), "//6A");
    EXPECT_STREQ(codec.Encode(high + 3, 2), "w6k=");
    EXPECT_STREQ(codec.Encode(high, 1), "/w==");
}

TEST(Base64CodecTest, NeverWritesPastItsCapacity) {
    // ASan watches the buffer; the sizes cross the line and padding cases.
    Base64Codec codec;
    for (std::size_t n = 0; n < 400; ++n) {
        std::string data(n, static_cast<char>(n));
        const char* out = codec.Encode(reinterpret_cast<const unsigned char*>(data.data()), n);
        ASSERT_NE(out, nullptr);
        EXPECT_LT(std::string(out).size(), Base64Codec::EncodeCapacity(n)) << n;
    }
}

TEST(Base64CodecTest, DecodeInvertsEncodeAcrossLineBreaks) {
    Base64Codec encoder;
    Base64Codec decoder;
    std::string data;
    for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 7);
    std::string encoded = EncodeText(encoder, data);
    EXPECT_EQ(DecodeText(decoder, encoded), data);
    EXPECT_EQ(decoder.invalidInput, 0);
}

TEST(Base64CodecTest, DecodeSkipsForeignCharactersAndStopsAtPadding) {
    Base64Codec codec;
    EXPECT_EQ(DecodeText(codec, "TW\r\nFu"), "Man");
    EXPECT_EQ(codec.invalidInput, 0);
    EXPECT_EQ(DecodeText(codec, "TW Fu"), "Man");
    EXPECT_EQ(codec.invalidInput, 1);

    Base64Codec high;
    EXPECT_EQ(DecodeText(high, std::string("TW\xC3") + "Fu"), "Man");
    EXPECT_EQ(high.invalidInput, 1);

    Base64Codec padded;
    EXPECT_EQ(DecodeText(padded, "TQ==TWFu"), "M");
    EXPECT_EQ(DecodeText(padded, "TWE"), "Ma");
    EXPECT_EQ(DecodeText(padded, "T"), "");
}

}  // namespace
