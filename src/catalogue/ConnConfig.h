// ReadConnConfig turns a connection list file ("Quillomark.conf", or the
// downloaded "NewQuilloMark.conf") into candidate records for a detection
// run. Line 1 is the list's date and time and is skipped; every later line
// that begins with "M" is a connection: type word, destination, SMTP, POP3 and
// IMAP4 ports and a one-word code, separated by white space. Reading stops at
// the first connection line that is malformed or names an unknown type.
#pragma once

#include <cstdint>

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfoList.h"

inline constexpr const char* kConnConfigName = "/Quillomark.conf";
inline constexpr const char* kNewConnConfigName = "/NewQuilloMark.conf";

inline constexpr int32_t kConnConfigFormatError = -21;
inline constexpr int32_t kConnConfigOpenError = -22;
inline constexpr int32_t kConnConfigMissingName = -51;

// Appends the records of the file baseDirectory + name to list, in file
// order, without clearing it; holds connListLock while the file is read.
// 0 when the whole file was read, -21 at a malformed or unknown line (the
// records before it stay), -22 when the file cannot be opened, -51 without
// a name.
int32_t ReadConnConfig(CatalogueContext& ctx, const char* name, ProtocalInfoList& list);
