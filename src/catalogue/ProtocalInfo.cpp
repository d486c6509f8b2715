#include "catalogue/ProtocalInfo.h"

#include <cstring>

namespace {

void CopyText(char* field, std::size_t size, const char* text) {
    if (text == nullptr) text = "";
    std::size_t length = std::strlen(text);
    if (length > size - 1) length = size - 1;
    std::memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace

const char* LinkTypeName(int32_t type) {
    return (type >= 0 && type < kLinkTypeCount) ? kLinkTypeTable[type].name : "";
}

const char* ProtocolTypeName(int32_t protocol) {
    return (protocol >= 0 && protocol < kProtocolCount) ? kProtocolTypeNames[protocol] : "";
}

const char* RelaySideName(int32_t side) {
    return (side >= 0 && side < kRelaySideCount) ? kRelaySideNames[side] : "";
}

int32_t MatchLinkType(const char* word) {
    if (word == nullptr) return -1;
    std::size_t length = std::strlen(word);
    // Compared over the word's length: a word longer than a name meets the
    // name's terminator and fails, a shorter one matches its first row.
    for (int32_t row = MAIL; row <= MAIL_SSL; ++row)
        if (std::strncmp(kLinkTypeTable[row].name, word, length) == 0) return kLinkTypeTable[row].code;
    return -1;
}

ProtocalInfo::ProtocalInfo() = default;

ProtocalInfo::ProtocalInfo(const ProtocalInfo& other) { *this = other; }

ProtocalInfo& ProtocalInfo::operator=(const ProtocalInfo& other) {
    if (this == &other) return *this;
    Type = other.Type;
    LinkCost = other.LinkCost;
    std::memcpy(Code, other.Code, sizeof Code);
    std::memcpy(Dest, other.Dest, sizeof Dest);
    std::memcpy(Port, other.Port, sizeof Port);
    IsSSL = other.IsSSL;
    return *this;
}

ProtocalInfo::~ProtocalInfo() = default;

bool ProtocalInfo::operator<(const ProtocalInfo& other) const {
    return LinkCost >= 0 && (other.LinkCost < 0 || LinkCost < other.LinkCost);
}

void ProtocalInfo::SetCode(const char* text) { CopyText(Code, sizeof Code, text); }

void ProtocalInfo::SetDest(const char* text) { CopyText(Dest, sizeof Dest, text); }
