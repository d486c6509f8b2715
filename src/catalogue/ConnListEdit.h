// ConnListEdit is what the Settings dialog and the import need of the
// connection list beyond its reader: a candidate row checked by the reader's
// own rules, the list text written back with the time of writing in its
// first line, the shipped placeholders told apart from real servers, and the
// support team's files checked whole before they replace the current ones.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "catalogue/CatalogueContext.h"
#include "catalogue/CatalogueResult.h"
#include "catalogue/ProtocalInfoList.h"

inline constexpr const char* kBackupSuffix = ".bak";

// Ok when the list reader would take row as it is written (type, one-word
// destination and code within their fields) and every port is 1..65535;
// RowRefused with the reason otherwise.
CatalogueResult CheckConnRow(CatalogueContext& ctx, const ProtocalInfo& row, std::string& reason);

// The list file's text: the header "YYYY/MM/DD HH:MM:SS" of now (local
// time), then one line per row in order.
std::string ConnListText(const ProtocalInfoList& rows, std::time_t now);

// True when list is empty or every destination is a reserved example name
// (example.com, example.net, example.org or one of their sub-domains), as
// the list a fresh install ships.
bool OnlyPlaceholders(const ProtocalInfoList& list);

// Which current files a successful import replaced.
struct ImportOutcome {
    bool settings = false;  // "Quillomark.ini"
    bool list = false;      // "Quillomark.conf"
};

// Imports the files at paths (absolute, named Quillomark.ini or
// Quillomark.conf) into the base directory: every file is checked first and
// nothing changes when one fails (ImportRefused, reason names the file and
// why); then the current file is kept as its ".bak" copy and replaced.
// WriteFailed when a copy or a replacement cannot be written.
CatalogueResult ImportSupportFiles(CatalogueContext& ctx, const std::vector<std::string>& paths,
                                   ImportOutcome& outcome, std::string& reason);
