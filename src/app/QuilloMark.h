// RunQuilloMark is the process entry: the single-instance rule, the socket
// layer, the start-up sequence and the event loop of the window thread, which
// runs until a stop signal closes the services and ends the process.
#pragma once

int RunQuilloMark(int argc, char** argv);
