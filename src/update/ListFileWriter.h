// ListFileWriter puts a downloaded connection list body on disk the way every
// data file of the system is written: each byte as received except CR, so
// that every line ends with a bare LF.
#pragma once

#include <cstddef>
#include <string>

// data[0 .. length) without its CR bytes: the list file's content.
std::string ListFileText(const char* data, std::size_t length);

// Replaces path by the list file's content of data[0 .. length), whole or
// not at all. False when it could not be written.
bool WriteListFile(const std::string& path, const char* data, std::size_t length);
