// The run's report on standard error, and the progress line a message must not land on.
#include "base/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/extended.h"

namespace {

// A progress line printed and not ended.
bool progress_open;
// What an early end undoes.
void (*undo_early)();

__attribute__((format(printf, 1, 0))) void print_message(const char *format, va_list args) {
  end_progress_line();
  fputs("tapsum: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

}  // namespace

void note(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void warn(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
}

void undo_on_early_end(void (*undo)()) {
  undo_early = undo;
}

void undo_now() {
  void (*undo)() = undo_early;
  undo_early = nullptr;
  if (undo != nullptr) undo();
}

void fatal(int status, const char *format, ...) {
  undo_now();
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  exit(status);
}

void usage_error(const char *format, ...) {
  undo_now();
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  exit(1);
}

void input_failed() {
  fatal(2, "Can't read input file.");
}

void output_failed() {
  fatal(2, "Can't write to output file. File system is possibly full.");
}

void output_cut(int error) {
  fatal(2, "Can't write to output: %s.", strerror(error));
}

void out_of_memory() {
  fatal(2, "Not enough memory.");
}

progress_schedule schedule_progress(uint64_t declared, int taps, bool to_end) {
  const bool shown = !to_end && declared > 100;
  return {declared, shown ? declared / 100 : 0, static_cast<uint64_t>(taps) + 1};
}

void report_progress(const progress_schedule &p, uint64_t from, uint64_t to) {
  if (p.step == 0) return;
  from = std::max(from, p.first);
  for (uint64_t mark = (from + p.step - 1) / p.step * p.step; mark <= to; mark += p.step) {
    fprintf(stderr, "\r%3" PRIu64 "%% done", mark * 100 / p.frames);
    progress_open = true;
  }
}

void end_progress_line() {
  if (progress_open) fputc('\n', stderr);
  progress_open = false;
}

void report_end(double peak, bool clipped, uint64_t not_finite) {
  progress_open = false;
  fprintf(stderr, "\rPeak level was %.0f%%.\n", static_cast<double>(extended(peak) * 100));
  if (clipped) fputs("\n*** tapsum: Warning: output file was clipped.\n", stderr);
  if (not_finite != 0)
    warn("Warning: %" PRIu64 " input samples were infinite or not a number; read as 0.",
         not_finite);
}
