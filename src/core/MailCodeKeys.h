// MailCodeKeys is the key material that turns the protected settings back into
// plain text: three DES keys for Triple-DES EDE and the fixed CBC vector that
// every value starts from. It is assembled at start-up from constant tables
// rather than stored whole.
#pragma once

#include <cstdint>

struct MailCodeKeys {
    unsigned char key1[8];
    unsigned char key2[8];
    unsigned char key3[8];
    unsigned char iv[8];
};

// Assembles the key material from the program's constant tables and sets DES
// odd parity on all four blocks.
void BuildMailCodeKeys(MailCodeKeys& keys);
