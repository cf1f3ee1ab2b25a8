// The fatal-error routines, and the progress line that a message must not land on.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "cli/tapsum.h"

namespace {

bool progress_open;

}  // namespace

void progress_line_open(bool open) {
  progress_open = open;
}

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

void input_failed() {
  err_exit(2, "tapsum: Can't read input file.\n");
}

void output_failed() {
  err_exit(2, "tapsum: Can't write to output file. File system is possibly full.\n");
}

void out_of_memory() {
  err_exit(2, "tapsum: Not enough memory.\n");
}
