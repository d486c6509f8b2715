// ProtocalInfo is one candidate upstream mail connection, from the line of the
// connection list it was read from, through its measured cost and the result
// file, to the client process that tries it. Records are plain and copied
// whole; a list owns copies of its records. The name tables of the three
// enumerations live here too, because the readers and the log lines of every
// later layer spell the values through them.
#pragma once

#include <cstdint>

enum LinkType : int32_t { MAIL = 0, MAIL_SSL = 1, ZZZ = 2 };
enum ProtocolType : int32_t { SMTP = 0, POP3 = 1, IMAP4 = 2 };
enum RelaySide : int32_t { CLIENT = 0, SERVER = 1 };

inline constexpr int kProtocolCount = 3;
inline constexpr int kCodeSize = 512;  // 511 characters and a terminator
inline constexpr int kDestSize = 64;   // 63 characters and a terminator

// One row of the connection-type table; the value of a LinkType is its row.
struct LinkTypeRow {
    const char* name;
    int32_t length;
    int32_t code;
};

inline constexpr int kLinkTypeCount = 3;
inline constexpr LinkTypeRow kLinkTypeTable[kLinkTypeCount] = {
    {"MAIL", 4, MAIL},
    {"MAIL-SSL", 8, MAIL_SSL},
    {"ZZZ", 3, ZZZ},
};
inline constexpr const char* kProtocolTypeNames[kProtocolCount] = {"SMTP", "POP3", "IMAP4"};
inline constexpr int kRelaySideCount = 2;
inline constexpr const char* kRelaySideNames[kRelaySideCount] = {"CLIENT", "SERVER"};

// Names by value; a value outside its table gives "".
const char* LinkTypeName(int32_t type);
const char* ProtocolTypeName(int32_t protocol);
const char* RelaySideName(int32_t side);

// The type a file's type word stands for: the first of rows MAIL and MAIL-SSL
// whose name begins with the word (so "MAI" is MAIL, "MAIL-S" is MAIL-SSL and
// "MAILX" is nothing). Row ZZZ is never matched. -1 when no row matches.
int32_t MatchLinkType(const char* word);

class ProtocalInfo {
public:
    ProtocalInfo();
    ProtocalInfo(const ProtocalInfo& other);
    ProtocalInfo& operator=(const ProtocalInfo& other);
    virtual ~ProtocalInfo();

    // The ranking order: measured connections (cost 0 or more) first,
    // cheapest first; every negative cost after them. Equal measured costs,
    // and any two negative costs, compare as equal.
    bool operator<(const ProtocalInfo& other) const;

    // Store a text cut to its field, always terminated.
    void SetCode(const char* text);
    void SetDest(const char* text);

    int32_t Type = MAIL;
    int32_t LinkCost = 0;
    char Code[kCodeSize] = {};
    char Dest[kDestSize] = {};
    int32_t Port[kProtocolCount] = {};
    bool IsSSL = false;
};
