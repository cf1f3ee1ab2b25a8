// The signals that stop a run: SIGINT, SIGTERM and SIGHUP.
#include "base/signals.h"

#include "base/report.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requested;

// The first signal asks the run to stop. coreutils' timeout sends SIGTERM
// twice, to the run and to its process group, so only a SIGINT, a person
// pressing Ctrl-C again, ends a stopping run at once; the run's own output
// would otherwise lose every frame computed and not yet written.
extern "C" void on_stop_signal(int sig) {
  if (stop_requested == 0) {
    stop_requested = sig;
  } else if (sig == SIGINT) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

}  // namespace

const int STOP_SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : STOP_SIGNALS) {
    struct sigaction before {};
    if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(sig, &action, nullptr);
  }
}

int stop_signal() {
  return stop_requested;
}

bool wait_any(pollfd *ask, int count) {
  sigset_t stop, before;
  sigemptyset(&stop);
  for (const int sig : STOP_SIGNALS) sigaddset(&stop, sig);
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  bool ready = false;
  while (stop_requested == 0) {
    const int answer = ppoll(ask, static_cast<nfds_t>(count), nullptr, &before);
    // Anything but a signal, an error of the descriptor's too, is for the
    // read or the write that follows to meet.
    if (answer > 0 || (answer < 0 && errno != EINTR)) {
      ready = true;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return ready;
}

bool wait_ready(int fd, short events) {
  pollfd ask{fd, events, 0};
  return wait_any(&ask, 1);
}

void end_by_signal(int sig) {
  undo_now();
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);
}
