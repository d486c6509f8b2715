// StartThread starts a detached background thread running body. It returns
// false, and runs nothing, when the system cannot create another thread, so
// that callers can take the "cannot be started" paths their callers expect.
#pragma once

#include <functional>

bool StartThread(std::function<void()> body);
