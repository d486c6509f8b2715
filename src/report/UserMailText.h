// UserMailText decides whether a user's e-mail address may go into the log
// report mail. The address becomes the mail's sender and several header
// lines, so a CR or LF in it would let whoever typed it add header lines or
// SMTP commands; no control character of any kind belongs in an address.
// The report dialog and the report itself use this one rule.
#pragma once

// True when text holds a byte below 0x20 or the byte 0x7F (DEL). Bytes of
// UTF-8 sequences are not control characters.
bool HoldsControlCharacter(const char* text);
