// ProxyListenThread is the body of one proxy listener: it listens on the
// local port of its ListenParam and hands every accepted client of its
// protocol to a client process.
#pragma once

#include "app/AppContext.h"

void ProxyListenThread(AppContext& ctx, const ListenParam& param);
