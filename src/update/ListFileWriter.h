// ListFileWriter puts a downloaded connection list body on disk the way every
// data file of the system is written: each byte as received except CR, so
// that every line ends with a bare LF.
#pragma once

#include <cstddef>
#include <string>

// Creates or truncates path and writes data[0 .. length) into it without CR.
// False when the file cannot be created or a write or the close fails.
bool WriteListFile(const std::string& path, const char* data, std::size_t length);

// Replaces path by the same content without ever leaving a cut or empty file
// there: the text goes to path + ".tmp" first and is renamed over path only
// when it is complete. False (path untouched, the temporary file removed)
// when any step fails.
bool ReplaceListFile(const std::string& path, const char* data, std::size_t length);
