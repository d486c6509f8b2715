// The record of known TLS servers: read back, written, and read again the same.
#include <cstdlib>
#include <string_view>

#include "net/KnownServers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<KnownServer> servers = ParseKnownServers(text);
    std::string written = FormatKnownServers(servers);
    if (FormatKnownServers(ParseKnownServers(written)) != written) std::abort();
    return 0;
}
