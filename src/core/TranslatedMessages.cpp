#include "core/TranslatedMessages.h"

// Defined by the sources generated from data/message_*.txt.
extern const char kMessageFileTW[];
extern const unsigned kMessageFileTWSize;
extern const char kMessageFileCN[];
extern const unsigned kMessageFileCNSize;

std::string_view TranslatedMessageFile(const std::string& fileName) {
    if (fileName == "message_TW.txt") return {kMessageFileTW, kMessageFileTWSize};
    if (fileName == "message_CN.txt") return {kMessageFileCN, kMessageFileCNSize};
    return {};
}
