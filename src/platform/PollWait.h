// Waiting on sockets with a deadline. A deadline rather than a duration lets
// a loop of several waits (a handshake, a send that goes in pieces) keep one
// bound for the whole, and a wait interrupted by a signal resumes with the
// time that is left instead of starting over.
#pragma once

#include <poll.h>

#include "platform/MonotonicClock.h"

// The milliseconds left until deadline as poll takes them: 0 once it has
// passed, -1 for kNoDeadline, never more than an int holds.
int MillisUntil(Deadline deadline);

// poll on entries until one has an event or deadline passes; interrupted
// calls are resumed. > 0 with events, 0 at the deadline, -1 on failure
// (errno tells why).
int PollUntil(pollfd* entries, nfds_t count, Deadline deadline);

// The same for one descriptor and one set of events.
int PollOne(int fd, short events, Deadline deadline);
