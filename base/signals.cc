// The signals that stop a run: SIGINT, SIGTERM and SIGHUP.
#include "base/signals.h"

#include "base/report.h"

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

void end_by_signal(int sig) {
  undo_now();
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);
}
