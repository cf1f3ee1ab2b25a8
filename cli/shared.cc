// The static tables, the fatal-error routines, the progress line and the signals that stop a run.
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "cli/tapsum.h"

double fir_coef1[MAX_FIR_SAMPLES];
double fir_coef2[MAX_FIR_SAMPLES];
double data1[MAX_FIR_SAMPLES];
double data2[MAX_FIR_SAMPLES];
char line[80];

namespace {

bool progress_open;
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

// A message never lands on the end of an open progress line.
void end_progress_line() {
  if (progress_open) fputc('\n', stderr);
  progress_open = false;
}

void err_exit(int status, const char *format, ...) {
  end_progress_line();
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  exit(status);
}

void progress_line_open(bool open) {
  progress_open = open;
}

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before {};
    if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(sig, &action, nullptr);
  }
}

int stop_signal() {
  return stop_requested;
}

void end_by_signal(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);
}

void input_failed() {
  err_exit(2, "tapsum: Can't read input file.\n");
}

void out_of_memory() {
  err_exit(2, "tapsum: Not enough memory.\n");
}

void output_failed() {
  err_exit(2, "tapsum: Can't write to output file. File system is possibly full.\n");
}
