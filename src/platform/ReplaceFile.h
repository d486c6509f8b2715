// ReplaceFile is the one way the program replaces a file it keeps: the new
// bytes go to a temporary file beside the target, are flushed to the disk,
// and the temporary file is renamed over the target, whose directory is
// flushed too. A reader, a crash or a full disk meets the old file whole or
// the new one whole, never a file half-written.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// Replaces path by bytes; a new file gets mode (less the umask). False, with
// errno telling why, when the file could not be replaced: the target is then
// as it was and no temporary file remains.
bool ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode = 0666);
