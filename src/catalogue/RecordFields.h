// RecordFields is the scratch space in which the connection list reader and
// the result log reader scan one line. Every text field is as wide as a whole
// line piece, so scanning can never run past it; a type word or destination
// too long for its record field is then refused instead of being cut, because
// a cut would move the rest of the word into the next field.
#pragma once

#include <cstdint>
#include <cstring>

#include "catalogue/ProtocalInfo.h"
#include "core/TextLineReader.h"

inline constexpr std::size_t kTypeWordLimit = 63;

struct RecordFields {
    char type[kLinePieceLength + 1] = {};
    char dest[kLinePieceLength + 1] = {};
    char code[kLinePieceLength + 1] = {};
    int port[kProtocolCount] = {};
    int cost = 0;

    bool FitsRecord() const {
        return std::strlen(type) <= kTypeWordLimit && std::strlen(dest) < kDestSize &&
               std::strlen(code) < kCodeSize;
    }

    // Everything but LinkCost, which only the result log carries.
    void FillRecord(int32_t linkType, ProtocalInfo& record) const {
        record.Type = linkType;
        record.SetCode(code);
        for (int p = 0; p < kProtocolCount; ++p) record.Port[p] = port[p];
        record.SetDest(dest);
        record.IsSSL = linkType == MAIL_SSL;
    }
};
