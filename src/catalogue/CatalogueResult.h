// CatalogueResult is what the catalogue's files report to their readers and
// writers: the connection list, the two detection result files and the
// speed history.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class CatalogueResult : int32_t {
    Ok = 0,
    WriteFailed = -17,      // a result file or the speed history could not be written
    ReadFailed = -18,       // a result file or the history cannot be opened, or a result line is bad
    ListFormatError = -21,  // a connection list line is malformed or names an unknown type
    ListUnopenable = -22,   // the connection list file cannot be opened
    MissingName = -51,      // no connection list name was given
    RowRefused = -55,       // a candidate row the list reader would not take
    ImportRefused = -56,    // a file to import is neither settings nor list, or does not read
};

const char* ToText(CatalogueResult result);
