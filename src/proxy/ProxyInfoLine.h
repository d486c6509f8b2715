// The proxy's lines for the information pane are formatted like its log
// lines; this puts one together and hands it to the window.
#pragma once

#include "context/AppContext.h"

void PostProxyInfoLine(AppContext& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
