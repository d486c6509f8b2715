// Ipv4Address decides whether a text is an IPv4 address and reads it: the
// one parser behind the settings' listening address, the proxy's and the
// probes' candidates and every socket the program binds or connects. Only
// the dotted form with four parts counts ("127.0.0.1", not "127.1"); any
// other text is a host name or no address at all.
#pragma once

#include <string>

#include <netinet/in.h>

// True when text is a dotted IPv4 address; its value goes to address when
// given, in network order.
bool ParseIpv4Address(const char* text, in_addr* address = nullptr);

inline bool IsIpv4Address(const std::string& text) { return ParseIpv4Address(text.c_str()); }
