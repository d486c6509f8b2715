// The detection result files carry a ranked candidate list from the one who
// decides it to the proxy listeners: "detect_result.log" for the detection
// run's ranking, "manual_set.log" for the user's manual choice. Line 1 is the
// moment of writing in seconds since 1970 (mirrored in the context's
// resultTimes, so a listener sees when its copy is superseded), line 2
// the same moment in local time for people, and every further line a record:
// cost, type name, destination, SMTP, POP3 and IMAP4 ports, code.
#pragma once

#include <cstdint>

#include "catalogue/CatalogueContext.h"
#include "catalogue/CatalogueResult.h"
#include "catalogue/ProtocalInfoList.h"

inline constexpr const char* kAutoResultName = "/detect_result.log";
inline constexpr const char* kManualResultName = "/manual_set.log";

// Writes list, in its order, to the manual or automatic file and stamps the
// mode's time with the moment of writing. The stamp moves even when the file
// cannot be written. The file is replaced whole, so a reader sees the old or
// the new content, never a mixture. WriteFailed when the file cannot be
// written.
CatalogueResult WriteDetectResult(CatalogueContext& ctx, ProtocalInfoList list, bool manual);

// Appends the records of the manual or automatic file to list (not cleared)
// and puts its time stamp into stamp; an empty file, or a line 1 without a
// number, leaves stamp as it was. Ok when the whole file was read, ReadFailed
// when it cannot be opened or at the first bad line (the records before it
// stay).
CatalogueResult ReadDetectResult(CatalogueContext& ctx, int32_t& stamp, ProtocalInfoList& list,
                         bool manual);
