// The pieces of the mail the SMTP probe sends through every candidate: a
// plain-text header block from the test account's sender address, a body of
// one sentence repeated to about 10 KB on a single line, and the end-of-data
// sequence. The date line is written with English names whatever the process
// locale, as mail headers require.
#pragma once

#include <cstddef>

inline constexpr const char* kTestMailSentence = "Just a test mail, please ignore it. ";
inline constexpr std::size_t kTestMailSentenceLength = 36;
inline constexpr const char* kEndOfData = "\r\n\r\n.\r\n";
// The message under construction and the command line share one buffer.
inline constexpr std::size_t kMailBufferSize = 10240;
// The body grows until the message reaches this many characters.
inline constexpr std::size_t kTestMailFill = 10230;
inline constexpr int kTestMailMaxSentences = 300;
// One write carries at most this many characters of the header block.
inline constexpr std::size_t kMailWriteBlock = 512;

// The local time now as "%a, %d %b %Y %H:%M:%S (%Z)" with English names.
void FormatMailDate(char* out, std::size_t size);

// The header block of the test mail from sender, date included, cut to fit
// out (size bytes with the terminator); returns its length in out.
std::size_t BuildTestMailHeader(char* out, std::size_t size, const char* sender);
