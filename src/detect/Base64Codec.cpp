#include "detect/Base64Codec.h"

#include <array>
#include <new>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 76;
constexpr unsigned char kSkip = 0xFF;

constexpr std::array<unsigned char, 256> MakeDecodeTable() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = kSkip;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    return table;
}

constexpr std::array<unsigned char, 256> kDecodeTable = MakeDecodeTable();

std::unique_ptr<unsigned char[]> ZeroedBuffer(std::size_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]());
}

}  // namespace

std::size_t Base64Codec::EncodeCapacity(std::size_t n) {
    std::size_t q = 4 * n / 3;
    return q + 2 * (q / kLineLength) + 10;
}

const char* Base64Codec::Encode(const unsigned char* data, std::size_t n) {
    std::unique_ptr<unsigned char[]> text = ZeroedBuffer(EncodeCapacity(n));
    if (!text) return nullptr;
    if (data == nullptr) n = 0;

    std::size_t out = 0;
    std::size_t in = 0;
    int lineCount = 0;
    for (; in + 3 <= n; in += 3) {
        unsigned group = (data[in] << 16) | (data[in + 1] << 8) | data[in + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text[out++] = kAlphabet[(group >> shift) & 0x3F];
        lineCount += 4;
        if (lineCount == kLineLength) {
            text[out++] = '\r';
            text[out++] = '\n';
            lineCount = 0;
        }
    }
    std::size_t rest = n - in;
    if (rest > 0) {
        unsigned group = data[in] << 16;
        if (rest == 2) group |= data[in + 1] << 8;
        text[out++] = kAlphabet[(group >> 18) & 0x3F];
        text[out++] = kAlphabet[(group >> 12) & 0x3F];
        text[out++] = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        text[out++] = '=';
    }
    output = std::move(text);
    return reinterpret_cast<const char*>(output.get());
}

const unsigned char* Base64Codec::Decode(const char* text, std::size_t& length) {
    std::unique_ptr<unsigned char[]> bytes = ZeroedBuffer(length + 1);
    if (!bytes) return nullptr;
    if (text == nullptr) length = 0;

    std::size_t out = 0;
    unsigned group = 0;
    int held = 0;
    for (std::size_t i = 0; i < length && text[i] != '='; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char value = kDecodeTable[c];
        if (value == kSkip) {
            if (c != '\r' && c != '\n') invalidInput = 1;
            continue;
        }
        group = (group << 6) | value;
        if (++held == 4) {
            bytes[out++] = static_cast<unsigned char>(group >> 16);
            bytes[out++] = static_cast<unsigned char>(group >> 8);
            bytes[out++] = static_cast<unsigned char>(group);
            group = 0;
            held = 0;
        }
    }
    if (held == 2) {
        bytes[out++] = static_cast<unsigned char>(group >> 4);
    } else if (held == 3) {
        bytes[out++] = static_cast<unsigned char>(group >> 10);
        bytes[out++] = static_cast<unsigned char>(group >> 2);
    }
    length = out;
    output = std::move(bytes);
    return output.get();
}
