// quillomark-seal: produces the protected lines of "Quillomark.ini". Each
// argument NAME=text becomes TEST_MAIL_CODEn="HEX", the text zero-padded to
// whole 8-byte blocks and encrypted with Triple-DES EDE in CBC mode under the
// same key material QuilloMark assembles at start-up, by the same code the
// Settings dialog seals with.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/MailCode.h"
#include "core/MailCodeKeys.h"
#include "core/UserConfig.h"

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
        "TEST_MAIL_CODE1 to TEST_MAIL_CODE8. A text holds at most 127 characters.\n",
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

}  // namespace

int main(int argc, char** argv) {
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
