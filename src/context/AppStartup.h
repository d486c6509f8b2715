// InitialiseWindow is the start-up of a QuilloMark whose instance check has
// passed: locks, key material, base directory, message table, settings, then
// the services, in that fixed order. The window's own steps are hooks of the
// front end, so the same sequence runs with a window and without one.
#pragma once

#include "context/AppContext.h"
#include "context/AppServices.h"

inline constexpr const char* kWindowTitle = "QuilloMark V2.0 beta";

class WindowHooks {
public:
    virtual ~WindowHooks() = default;
    virtual void SetUpWindow() {}                // icons, fonts
    virtual void SetUpTrayAndControls() {}       // tray icon, controls, tutorial
    virtual void RefreshConnectionList() {}
};

// The process's current directory, cut to 259 characters; empty when it
// cannot be read, so data files are then looked for at the root.
void ReadBaseDirectory(AppContext& ctx);

void InitialiseWindow(AppContext& ctx, ServiceStarter& starter, WindowHooks& window);
