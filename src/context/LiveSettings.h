// LiveSettings makes a change of the settings or the connection list take
// effect in the running program, as Apply in the Settings dialog and an
// import do: the settings are read again, every proxy listener whose port or
// address changed moves (a new place that cannot be bound is reported and the
// listener stays where it was, the file then saying so again), and a changed
// list or test account starts a detection run at once.
#pragma once

#include <string>
#include <vector>

#include "catalogue/ConnListEdit.h"
#include "context/AppContext.h"
#include "context/AppServices.h"

enum class LiveResult {
    Applied,  // everything took effect; moves lists any listener that could not move
    Busy,     // a detection run is working on the test account: try again once it ends
};

struct LiveChange {
    bool settings = false;  // "Quillomark.ini" was rewritten
    bool account = false;   // among them the test account
    bool list = false;      // "Quillomark.conf" was rewritten
};

// One listener that stayed where it was, and why.
struct RefusedMove {
    int32_t listener = SMTP;  // by ListenerIndex
    int32_t port = 0;
    std::string reason;
};

// The probes read the test account without a lock, so the settings are read
// again only while no detection run works: Busy leaves everything as it was.
LiveResult ApplyLiveChange(AppContext& ctx, ServiceStarter& starter, const LiveChange& change,
                           std::vector<RefusedMove>& refused);

// An import's files checked, kept as ".bak", written, then applied as above;
// the text of the one-line reply of the single-instance channel: "ok" or
// "error <reason>". Busy only when the files are written and could not be
// applied yet.
LiveResult ImportAndApply(AppContext& ctx, ServiceStarter& starter, const std::vector<std::string>& paths,
                          LiveChange& change, std::string& reply);
