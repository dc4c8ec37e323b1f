// One stop for every wait of the socket layer. A stop signal or the run's time bound wakes
// whatever poll is going on at once, instead of letting it run out its own time-out.
#pragma once

#include <cstdint>

#include <poll.h>

// Makes the stop ready (an eventfd); call before a signal handler may raise it.
void PrepareRunStop();
// Raises the stop for good. Async-signal-safe.
void RaiseRunStop();
// Steady time (SteadyMilliseconds) at which the stop raises itself; 0 = none.
void SetRunStopDeadline(uint64_t steadyMs);
// True once the stop was raised or its deadline has passed.
bool RunStopRaised();

// poll() of one descriptor that also ends when the stop is raised: then -1 with errno
// ECANCELED. An interrupted poll goes on with the time that is left.
int PollUnlessStopped(pollfd& p, int timeout);
