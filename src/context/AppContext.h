// AppContext is the whole process state shared by every thread: the
// foundation's and the catalogue's state it extends, the connection in use,
// the detection's single-run guard and fail-over gate, the proxies' client
// slots and the listener arguments. Each part keeps its own lock (the client
// slots the row lock beside them). One object exists for the life of the
// process; tests make their own.
#pragma once

#include <cstdint>

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfo.h"
#include "context/BestConnection.h"
#include "context/ClientSlots.h"
#include "context/DetectRunning.h"
#include "context/FailoverGate.h"
#include "core/UiNotifier.h"
#include "net/TlsServerContext.h"
#include "platform/AutoResetEvent.h"

// The argument of one proxy listener: which protocol, on which local port,
// and whether its clients speak TLS from the first byte.
struct ListenParam {
    int32_t protocol = SMTP;  // a ProtocolType
    int32_t port = 0;
    bool tls = false;
};

struct AppContext : CatalogueContext {
    AppContext();

    UiNotifier& Notifier() { return *mainWindow; }

    // Where UiNotifier calls go; set by the entry before any thread starts.
    UiNotifier* mainWindow = &nullNotifier;

    BestConnection bestConnection;

    DetectRunning detectRunning;
    // The detection runs that client processes ask for after a fall-back.
    FailoverGate failoverDetect;

    // Per protocol the 32 client sockets, each row under its own lock. A
    // session's quiet time is kept by the relay loop that runs both of its
    // directions, so a slot needs no shared activity flag.
    ClientSlots clientSlots;

    // By ListenerIndex: the three plain listeners, then their TLS twins.
    ListenParam listenParams[kListenerCount];

    // What the TLS listeners present to their mail clients.
    TlsServerContext tlsServer;

    // "event_detect_complete": set once by every detection run that passed
    // its single-run guard.
    AutoResetEvent eventDetectComplete;

private:
    NullNotifier nullNotifier;
};
