// quillomark-seal: produces the protected lines of "Quillomark.ini". Each
// argument NAME=text becomes TEST_MAIL_CODEn="HEX", the text zero-padded to
// whole 8-byte blocks and encrypted with Triple-DES EDE in CBC mode under the
// same key material QuilloMark assembles at start-up. QuilloMark itself only
// decrypts; this tool is the one place that encrypts.
//
// "--sign-list PRIVATE_KEY_FILE LIST" signs a connection list for
// publishing: LIST.sig gets the base64 Ed25519 signature of LIST's bytes, and
// the LIST_PUBLIC_KEY line that checks it is printed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fstream>
#include <iterator>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "core/MailCode.h"
#include "core/MailCodeKeys.h"
#include "core/UserConfig.h"
#include "platform/ReplaceFile.h"

namespace {

constexpr int kUsageError = 2;
constexpr std::size_t kMaxPlainLength = kConfigTextSize - 1;

// Field names in the order of their file keys TEST_MAIL_CODE1..8.
const char* const kFieldNames[] = {"USER_NAME", "LOGIN_NAME", "LOGIN_PASS",      "MAIL_FROM",
                                   "RCPT_TO",   "LOG_RCPT_TO", "DOWNLOAD_SERVER", "DOWNLOAD_PATH"};

struct SealRequest {
    int codeNumber;  // n of TEST_MAIL_CODEn
    std::string plain;
};

void PrintUsage(FILE* out) {
    std::fputs(
        "usage: quillomark-seal NAME=text ...\n"
        "Prints one settings line TEST_MAIL_CODEn=\"HEX\" per argument, for pasting into\n"
        "Quillomark.ini. NAME is a field (USER_NAME, LOGIN_NAME, LOGIN_PASS, MAIL_FROM,\n"
        "RCPT_TO, LOG_RCPT_TO, DOWNLOAD_SERVER, DOWNLOAD_PATH) or its file key\n"
        "TEST_MAIL_CODE1 to TEST_MAIL_CODE8. A text holds at most 127 characters.\n"
        "\n"
        "usage: quillomark-seal --sign-list PRIVATE_KEY_FILE LIST\n"
        "Writes LIST.sig, the signature of LIST by the Ed25519 key in PRIVATE_KEY_FILE\n"
        "(PEM, as \"openssl genpkey -algorithm ed25519\" makes it), and prints the\n"
        "LIST_PUBLIC_KEY line that makes QuilloMark check it.\n",
        out);
}

// 1..8 for a field name or file key, 0 for anything else.
int CodeNumberFor(const std::string& name) {
    for (int i = 0; i < 8; ++i) {
        if (name == kFieldNames[i] || name == "TEST_MAIL_CODE" + std::to_string(i + 1)) return i + 1;
    }
    return 0;
}

bool ParseRequest(const char* argument, SealRequest& request) {
    const char* equals = std::strchr(argument, '=');
    if (equals == nullptr) {
        std::fprintf(stderr, "quillomark-seal: expected NAME=text, got \"%s\"\n", argument);
        return false;
    }
    std::string name(argument, static_cast<std::size_t>(equals - argument));
    request.codeNumber = CodeNumberFor(name);
    request.plain = equals + 1;
    if (request.codeNumber == 0) {
        std::fprintf(stderr, "quillomark-seal: unknown name \"%s\"\n", name.c_str());
        return false;
    }
    if (request.plain.size() > kMaxPlainLength) {
        std::fprintf(stderr, "quillomark-seal: text for %s is longer than %zu characters\n",
                     name.c_str(), kMaxPlainLength);
        return false;
    }
    return true;
}

std::string Base64(const unsigned char* bytes, std::size_t length) {
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    int made = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(length));
    text.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
    return text;
}

int SignList(const char* keyFile, const char* listFile) {
    FILE* keyStream = std::fopen(keyFile, "r");
    EVP_PKEY* key = keyStream != nullptr ? PEM_read_PrivateKey(keyStream, nullptr, nullptr, nullptr) : nullptr;
    if (keyStream != nullptr) std::fclose(keyStream);
    if (key == nullptr || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        std::fprintf(stderr, "quillomark-seal: %s holds no Ed25519 private key\n", keyFile);
        EVP_PKEY_free(key);
        return 1;
    }
    std::ifstream in(listFile, std::ios::binary);
    std::string list((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "quillomark-seal: cannot read %s\n", listFile);
        EVP_PKEY_free(key);
        return 1;
    }
    unsigned char signature[64];
    std::size_t signatureLength = sizeof signature;
    unsigned char publicKey[32];
    std::size_t publicLength = sizeof publicKey;
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    bool signedOk = digest != nullptr && EVP_DigestSignInit(digest, nullptr, nullptr, nullptr, key) == 1 &&
                    EVP_DigestSign(digest, signature, &signatureLength,
                                   reinterpret_cast<const unsigned char*>(list.data()), list.size()) == 1 &&
                    EVP_PKEY_get_raw_public_key(key, publicKey, &publicLength) == 1;
    EVP_MD_CTX_free(digest);
    EVP_PKEY_free(key);
    if (!signedOk) {
        std::fputs("quillomark-seal: signing failed\n", stderr);
        return 1;
    }
    std::string sigPath = std::string(listFile) + ".sig";
    if (!ReplaceFile(sigPath, Base64(signature, signatureLength) + "\n", 0644)) {
        std::fprintf(stderr, "quillomark-seal: cannot write %s\n", sigPath.c_str());
        return 1;
    }
    std::printf("LIST_PUBLIC_KEY=\"%s\"\n", Base64(publicKey, publicLength).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--sign-list") == 0) {
        if (argc != 4) {
            PrintUsage(stderr);
            return kUsageError;
        }
        return SignList(argv[2], argv[3]);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc < 2) {
        PrintUsage(stderr);
        return kUsageError;
    }
    // Every argument is checked before anything is printed, so a mistake never
    // leaves half a set of lines on the screen.
    std::vector<SealRequest> requests(static_cast<std::size_t>(argc - 1));
    for (int i = 1; i < argc; ++i) {
        if (!ParseRequest(argv[i], requests[static_cast<std::size_t>(i - 1)])) return kUsageError;
    }
    MailCodeKeys keys{};
    BuildMailCodeKeys(keys);
    for (const SealRequest& request : requests) {
        std::string hex;
        if (SealMailCode(keys, request.plain, hex) != CoreResult::Ok) {
            std::fputs("quillomark-seal: the key material is refused by DES\n", stderr);
            return 1;
        }
        std::printf("TEST_MAIL_CODE%d=\"%s\"\n", request.codeNumber, hex.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
