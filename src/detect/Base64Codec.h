// Base64Codec turns bytes into the Base64 text of RFC 2045 and back. SMTP AUTH
// LOGIN sends the login name and the password this way, one per line. Encoded
// text breaks after every 76 characters with CR LF, as mail bodies do. The
// codec owns the text of its latest result: it stays valid until the next call
// on the same codec or the codec's end, so a caller that needs two results at
// once uses two codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class Base64Codec {
public:
    Base64Codec() = default;
    Base64Codec(const Base64Codec&) = delete;
    Base64Codec& operator=(const Base64Codec&) = delete;

    // The zero-terminated text for n bytes of data, or null when no buffer
    // could be had. Full groups that fill whole lines end with CR LF; the
    // padded final group never does.
    const char* Encode(const unsigned char* data, std::size_t n);

    // The bytes encoded in text, read until the first "=" or until length
    // characters have been consumed; length then holds the number of bytes
    // produced, and a zero byte follows them. Characters outside the alphabet
    // are skipped; any but CR and LF set invalidInput. Null when no buffer
    // could be had.
    const unsigned char* Decode(const char* text, std::size_t& length);

    // Encoded text never holds more characters than this for n input bytes.
    static std::size_t EncodeCapacity(std::size_t n);

    int32_t invalidInput = 0;

private:
    std::unique_ptr<unsigned char[]> output;
};
