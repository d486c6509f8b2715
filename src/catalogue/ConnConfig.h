// ReadConnConfig turns a connection list file ("Quillomark.conf", or the
// downloaded "NewQuilloMark.conf") into candidate records for a detection
// run. Line 1 is the list's date and time and is skipped; every later line
// that begins with "M" is a connection: type word, destination, SMTP, POP3 and
// IMAP4 ports and a one-word code, separated by white space. Reading stops at
// the first connection line that is malformed or names an unknown type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/CatalogueContext.h"
#include "catalogue/CatalogueResult.h"
#include "catalogue/ProtocalInfoList.h"

inline constexpr const char* kConnConfigName = "/Quillomark.conf";
inline constexpr const char* kNewConnConfigName = "/NewQuilloMark.conf";

// Appends the records of the file baseDirectory + name to list, in file
// order, without clearing it; holds connListLock while the file is read.
// Ok when the whole file was read, ListFormatError at a malformed or unknown
// line (the records before it stay), ListUnopenable when the file cannot be
// opened, MissingName without a name.
CatalogueResult ReadConnConfig(CatalogueContext& ctx, const char* name, ProtocalInfoList& list);

// The same reading of a list file at path that is not the live list (a file
// to import): no lock is taken.
CatalogueResult ReadConnListFile(CatalogueContext& ctx, const std::string& path, ProtocalInfoList& list);

// One connection line read as the list reader reads it; ListFormatError
// (logged) when the reader would stop at it.
CatalogueResult ParseConnListLine(CatalogueContext& ctx, const char* line, ProtocalInfo& record);

// Replaces "Quillomark.conf" by text, whole, once no read of it is in
// progress. WriteFailed, with the old file as it was, when it cannot be
// written.
CatalogueResult ReplaceConnConfig(CatalogueContext& ctx, std::string_view text);
