#include "update/ListSignature.h"

#include <vector>

#include <openssl/evp.h>

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

// The bytes of base64 text, or empty when it is not whole base64.
std::vector<unsigned char> DecodeBase64(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) return {};
    std::vector<unsigned char> out(text.size() / 4 * 3);
    int made = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
    if (made < 0) return {};
    // The block decoder counts the padding as zero bytes.
    std::size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    out.resize(static_cast<std::size_t>(made) - padding);
    return out;
}

}  // namespace

bool VerifyListSignature(std::string_view list, std::string_view signatureText, const std::string& publicKey) {
    std::vector<unsigned char> key = DecodeBase64(publicKey);
    std::vector<unsigned char> signature = DecodeBase64(signatureText);
    if (key.size() != kKeyBytes || signature.size() != kSignatureBytes) return false;
    EVP_PKEY* verifier = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size());
    if (verifier == nullptr) return false;
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    bool valid = digest != nullptr && EVP_DigestVerifyInit(digest, nullptr, nullptr, nullptr, verifier) == 1 &&
                 EVP_DigestVerify(digest, signature.data(), signature.size(),
                                  reinterpret_cast<const unsigned char*>(list.data()), list.size()) == 1;
    EVP_MD_CTX_free(digest);
    EVP_PKEY_free(verifier);
    return valid;
}
