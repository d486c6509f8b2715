#include "proxy/ProxyInfoLine.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void PostProxyInfoLine(AppContext& ctx, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ctx.Notifier().PostInfoLine(std::string(text));
}
