// What a run prints on standard error: its lines, warnings, fatal errors and the progress line.
#pragma once

#include <cstdint>

// A line of the run's report, with no prefix: the count and format lines.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "tapsum: ", the message and a line feed; the run goes on.
void warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "tapsum: ", the message and a line feed, then the process ends with
// status: 2 for a run that failed. The exit flushes and closes the
// streams.
[[noreturn]] void fatal(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The same with status 1: the command line can't be used.
[[noreturn]] void usage_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// What a run undoes when it ends early, by a fatal error or by a signal:
// fatal(), usage_error() and end_by_signal() call it once, first. nullptr,
// the default, undoes nothing.
void undo_on_early_end(void (*undo)());
void undo_now();

// Reading the input failed other than at its end: status 2.
[[noreturn]] void input_failed();
// The output did not take what was written: status 2.
[[noreturn]] void output_failed();
// The same for a pipe or a socket, whose failure (its reader gone, most
// often) is never the file system's: said as the system says error.
[[noreturn]] void output_cut(int error);
// Not enough memory for the run: status 2. Every allocation that fails
// ends here.
[[noreturn]] void out_of_memory();

// When the percentage is shown: at every multiple of step of the declared
// frames, from frame first (counted from 1) on, the frames of the steady
// phase; never when step is 0.
struct progress_schedule {
  uint64_t frames;  // declared
  uint64_t step;    // 1% of them, or 0 when no percentage is shown
  uint64_t first;   // the first frame of the steady phase: taps + 1
};
// A percentage for more than 100 declared frames, unless the run reads to
// the end, where there is no share to show.
progress_schedule schedule_progress(uint64_t declared, int taps, bool to_end);
// The percentage at every mark of the schedule among output frames from
// to to, counted from 1. Each line begins with a carriage return and stays
// open: a line printed next starts a line of its own.
void report_progress(const progress_schedule &p, uint64_t from, uint64_t to);
// Ends an open progress line with a line feed.
void end_progress_line();
// The peak level line, which replaces the progress line, and, when an
// output clipped, the warning; then how many samples of the input were
// floats not finite, read as 0, when there were any.
void report_end(double peak, bool clipped, uint64_t not_finite);
