// ProxyListenThread is the body of one proxy listener: it listens on the
// local port of its ListenParam, keeps its copy of the ranked candidates in
// step with the newest result file of the current mode, and hands every
// accepted client, with a snapshot of the candidates, to a client process
// in one of the protocol's 32 slots. Without a readable result in automatic
// mode it asks for a detection run.
#pragma once

#include <cstdint>
#include <memory>

#include "context/AppContext.h"
#include "proxy/ProxyResultCodes.h"
#include "proxy/ProxyRuntime.h"

// Runs for the life of the process, its sessions in relays (which the
// process's listeners share); returns only after a fatal failure, once the
// sessions it started have ended.
void ProxyListenThread(AppContext& ctx, const ListenParam& param, std::shared_ptr<RelayLoop> relays);

// The listener itself: MissingArgument without param or runtime or with a
// protocol that is none of the three, Ok when it ends after a fatal failure
// or because runtime was told to stop.
ProxyResult RunProxyListener(AppContext& ctx, const ListenParam* param, std::shared_ptr<ProxyRuntime> runtime);
