// The signals that stop a run: SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <poll.h>

// SIGINT, SIGTERM and SIGHUP, unless ignored when the run starts, ask the
// run to stop: it reads no more, and stop_signal() tells which signal came
// (0 while none has). While it stops, a SIGINT (a person pressing Ctrl-C
// again) ends the process at once; a repeated SIGTERM or SIGHUP changes
// nothing. Threads other than the one that reads block them.
extern const int STOP_SIGNALS[3];
void catch_stop_signals();
int stop_signal();
// Ends the process by sig, with its default action, as if never caught.
[[noreturn]] void end_by_signal(int sig);
// Waits until one of count descriptors is ready for its events (as poll
// asks them, the answers in revents), or the run is asked to stop; false
// then. A signal that comes after stop_signal() was last asked is answered
// all the same: the signals are held from the test until the wait lets
// them in.
bool wait_any(struct pollfd *ask, int count);
// The same for one descriptor, ready for events (POLLIN or POLLOUT).
bool wait_ready(int fd, short events);
