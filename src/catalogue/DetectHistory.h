// DetectHistory keeps what the result file forgets: every detection run on the
// current connection list adds one line per candidate to "detect_history.log"
// (the run's time in milliseconds since 1970, code, destination, cost; -1 for
// a candidate that failed), so a connection that grows slower or fails now and
// then can be seen as such. The file holds the last 500 runs. It is always
// replaced whole through a temporary file, so a reader sees the history before
// or after a run, never half of one, and needs no lock. The reader takes any
// content: a line that is not a record is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/CatalogueContext.h"
#include "catalogue/CatalogueResult.h"
#include "catalogue/ProtocalInfoList.h"

inline constexpr const char* kHistoryName = "/detect_history.log";
inline constexpr int kHistoryRunLimit = 500;

// One candidate's outcome in one run. All records of a run carry the same
// time, and every run's time is later than the one before it.
struct HistoryRecord {
    int64_t time = 0;      // milliseconds since 1970
    std::string Code;      // at most 511 characters
    std::string Dest;      // at most 63 characters
    int32_t LinkCost = 0;  // -1: the candidate failed its probes
};

// Adds one run, one record per element of list in its order, and drops the
// oldest runs beyond 500. An empty list adds nothing. WriteFailed when the
// file cannot be written (the previous history then stays as it was).
CatalogueResult AppendDetectHistory(CatalogueContext& ctx, const ProtocalInfoList& list);

// Appends the file's records, oldest first, to records. Lines that are not
// records are skipped and counted in the log. ReadFailed when the file
// cannot be opened (records unchanged).
CatalogueResult ReadDetectHistory(CatalogueContext& ctx, std::vector<HistoryRecord>& records);

// The records of one text as the reader takes them; what the reader and the
// fuzz target share. Returns the number of lines skipped.
int ParseDetectHistory(const std::string& text, std::vector<HistoryRecord>& records);
