#include "platform/Ipv4Address.h"

#include <arpa/inet.h>

bool ParseIpv4Address(const char* text, in_addr* address) {
    if (text == nullptr) return false;
    in_addr value{};
    if (inet_pton(AF_INET, text, &value) != 1) return false;
    if (address != nullptr) *address = value;
    return true;
}
