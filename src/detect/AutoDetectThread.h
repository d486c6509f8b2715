// AutoDetectThread is the body of one detection run: it ranks the candidates
// of a connection list and writes the result file the proxies follow. A null
// list path means the connection list "/Quillomark.conf".
#pragma once

#include "app/AppContext.h"

int AutoDetectThread(AppContext& ctx, const char* listPath);
