#include "report/UserMailText.h"

bool HoldsControlCharacter(const char* text) {
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c)
        if (*c < 0x20 || *c == 0x7F) return true;
    return false;
}
