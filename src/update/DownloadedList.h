// DownloadedList checks a downloaded connection list body before anything is
// done with it, and reads the date and time of its header line. The check is
// stricter than the reader of the list file: one line that is not a comment
// and not a whole connection line rejects the entire body, because a list
// that the publisher got wrong must never replace a working one.
//
// A body's lines end with CR LF (LF alone is taken too); the first line is
// the header, every later line a "#" comment or a connection line: type word,
// destination, SMTP, POP3 and IMAP4 ports and a one-word code.
#pragma once

#include <cstdint>

#include "update/DownloadState.h"
#include "update/UpdateResult.h"

// Longest line of the list format, without its line end.
inline constexpr std::size_t kListLineLimit = 510;

// Ok when downloadBuffer[0 .. downloadLength) is a usable list: a header with
// a date and a time token, and at least one connection line of a known type
// (a leading part of "MAIL" or "MAIL-SSL"). ListRejected otherwise; also for
// a body without any line end, a NUL byte, an over-long line or field.
UpdateResult ValidateDownloadedList(const DownloadState& state);

// The header's seconds (HeaderToSeconds), or -1 for a body without a line
// end or without a valid header.
int64_t ReadDownloadedListTime(const DownloadState& state);
