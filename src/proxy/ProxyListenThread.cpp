#include "proxy/ProxyListenThread.h"

void ProxyListenThread(AppContext& ctx, const ListenParam& param) {
    (void)ctx;
    (void)param;
}
