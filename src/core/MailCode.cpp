#include "core/MailCode.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <openssl/des.h>

#include "core/CoreContext.h"
#include "core/WriteLog.h"

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of characters from the start of hex; an odd length ends with a single
// character. Returns the byte count, or -1 when hex does not fit in bytes.
int HexToBytes(const char* hex, unsigned char (&bytes)[kMailCodeMaxBytes]) {
    std::size_t length = std::strlen(hex);
    std::size_t count = (length + 1) / 2;
    if (count > sizeof bytes) return -1;
    for (std::size_t i = 0; i < count; ++i) bytes[i] = HexPairToByte(hex + 2 * i);
    return static_cast<int>(count);
}

bool BuildSchedule(const unsigned char (&key)[8], DES_key_schedule& schedule) {
    DES_cblock block;
    std::memcpy(block, key, sizeof block);
    return DES_set_key_checked(&block, &schedule) == 0;
}

}  // namespace

unsigned char HexPairToByte(const char* oneOrTwoChars) {
    if (oneOrTwoChars == nullptr) return 0;
    unsigned value = 0;
    for (int i = 0; i < 2; ++i) {
        int digit = HexDigitValue(oneOrTwoChars[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<unsigned char>(value & 0xffu);
}

CoreResult DecryptMailCode(const MailCodeKeys& keys, const unsigned char* bytes, int count,
                    unsigned char* out) {
    if (bytes == nullptr || out == nullptr || count < 0 || count % 8 != 0) return CoreResult::MailCodeRefused;

    DES_cblock vector;
    std::memcpy(vector, keys.iv, sizeof vector);
    DES_key_schedule schedule1, schedule2, schedule3;
    if (!BuildSchedule(keys.key1, schedule1) || !BuildSchedule(keys.key2, schedule2) ||
        !BuildSchedule(keys.key3, schedule3)) {
        return CoreResult::MailCodeRefused;
    }
    if (count > 0) {
        DES_ede3_cbc_encrypt(bytes, out, count, &schedule1, &schedule2, &schedule3, &vector,
                             DES_DECRYPT);
    }
    out[count] = '\0';
    return CoreResult::Ok;
}

void ReadMailCode(CoreContext& ctx, const char* hex, char* out, std::size_t outSize) {
    if (out == nullptr || outSize == 0) return;
    out[0] = '\0';

    unsigned char bytes[kMailCodeMaxBytes];
    unsigned char plain[kMailCodeMaxBytes + 1];
    int count = hex != nullptr ? HexToBytes(hex, bytes) : -1;
    if (count < 0 || DecryptMailCode(ctx.mailCodeKeys, bytes, count, plain) != CoreResult::Ok) {
        WriteLog(ctx, UI, MAJOR, "read mail code failed");
        return;
    }
    // The text ends at the first zero byte, which also drops the padding.
    std::size_t length = strnlen(reinterpret_cast<const char*>(plain), outSize - 1);
    std::memcpy(out, plain, length);
    out[length] = '\0';
}

bool MailCodeHexIsReadable(const MailCodeKeys& keys, const char* hex) {
    unsigned char bytes[kMailCodeMaxBytes];
    unsigned char plain[kMailCodeMaxBytes + 1];
    int count = hex != nullptr ? HexToBytes(hex, bytes) : -1;
    return count >= 0 && DecryptMailCode(keys, bytes, count, plain) == CoreResult::Ok;
}

CoreResult SealMailCode(const MailCodeKeys& keys, const std::string& plain, std::string& hex) {
    hex.clear();
    if (plain.size() > kMailCodePlainLimit) return CoreResult::MailCodeRefused;
    DES_key_schedule schedule1, schedule2, schedule3;
    if (!BuildSchedule(keys.key1, schedule1) || !BuildSchedule(keys.key2, schedule2) ||
        !BuildSchedule(keys.key3, schedule3)) {
        return CoreResult::MailCodeRefused;
    }
    // Zero padding to whole blocks (none when already whole), which the
    // reader drops again at the first zero byte.
    std::vector<unsigned char> padded(plain.begin(), plain.end());
    padded.resize((padded.size() + 7) / 8 * 8, 0);
    std::vector<unsigned char> cipher(padded.size());
    DES_cblock vector;
    std::memcpy(vector, keys.iv, sizeof vector);
    if (!padded.empty()) {
        DES_ede3_cbc_encrypt(padded.data(), cipher.data(), static_cast<long>(padded.size()),
                             &schedule1, &schedule2, &schedule3, &vector, DES_ENCRYPT);
    }
    char pair[3];
    for (unsigned char byte : cipher) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return CoreResult::Ok;
}
