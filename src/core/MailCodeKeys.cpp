#include "core/MailCodeKeys.h"

#include <cstring>

#include <openssl/des.h>

namespace {

// The blocks are not the keys themselves: each key block only becomes a key
// after the per-byte transform below, so no key appears whole in the binary.
const unsigned char kKeyBlocks[3][8] = {
    {0x6d, 0x21, 0xc4, 0x97, 0x3e, 0x58, 0xb2, 0x0f},
    {0x19, 0xe7, 0x52, 0xa8, 0xcd, 0x74, 0x03, 0x9b},
    {0xf2, 0x4a, 0x86, 0x3d, 0x61, 0xbf, 0x25, 0xd8},
};
const unsigned char kVectorBlock[8] = {0x8c, 0x35, 0xe9, 0x12, 0x7b, 0xa6, 0x4f, 0xd1};

const unsigned char kMaskA[8] = {0xa3, 0x5e, 0x17, 0xc9, 0x64, 0x2b, 0xf0, 0x8d};
const unsigned char kMaskB[8] = {0x3c, 0x91, 0x6a, 0x05, 0xde, 0x47, 0xb8, 0x72};
constexpr unsigned kPositionStep = 0x2f;

void TransformBlock(const unsigned char (&block)[8], unsigned char (&key)[8]) {
    for (unsigned p = 0; p < 8; ++p) {
        unsigned mixed = block[p] ^ kMaskA[p] ^ kMaskB[p];
        key[p] = static_cast<unsigned char>((mixed + p * kPositionStep) & 0xffu);
    }
}

void SetOddParity(unsigned char (&block)[8]) {
    DES_set_odd_parity(reinterpret_cast<DES_cblock*>(block));
}

}  // namespace

void BuildMailCodeKeys(MailCodeKeys& keys) {
    TransformBlock(kKeyBlocks[0], keys.key1);
    TransformBlock(kKeyBlocks[1], keys.key2);
    TransformBlock(kKeyBlocks[2], keys.key3);
    std::memcpy(keys.iv, kVectorBlock, sizeof keys.iv);
    SetOddParity(keys.key1);
    SetOddParity(keys.key2);
    SetOddParity(keys.key3);
    SetOddParity(keys.iv);
}
