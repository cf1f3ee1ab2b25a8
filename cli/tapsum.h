// What every part of tapsum shares: the table size, the static tables and the fatal-error routine.
#pragma once

#include <limits>

// Products and running sums are formed in the x87 extended format; the
// results on half a code depend on its 64-bit significand.
static_assert(std::numeric_limits<long double>::digits == 64,
              "tapsum needs long double to be the 80-bit extended format");

constexpr int MAX_FIR_SAMPLES = 8192;

// Coefficient columns: entry k weighs the input sample k frames back.
extern double fir_coef1[MAX_FIR_SAMPLES];
extern double fir_coef2[MAX_FIR_SAMPLES];

// Ring buffers of normalised input samples, channel 1 and channel 2.
extern double data1[MAX_FIR_SAMPLES];
extern double data2[MAX_FIR_SAMPLES];

// Text lines of the coefficient file (at most 79 characters) and header bytes.
extern char line[80];

// Prints the message, filling its placeholder when it has one, and ends the
// process with status; the exit flushes and closes the streams. The
// compiler checks every call's arguments against its format.
[[noreturn]] void err_exit(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// The output did not take what was written: the write-failure message,
// status 2.
[[noreturn]] void output_failed();
// Reading the input failed other than at its end: the read-failure message,
// status 2.
[[noreturn]] void input_failed();

// A progress line has been printed on standard error and not ended; a
// message printed then starts a line of its own.
void progress_line_open(bool open);

// SIGINT, SIGTERM and SIGHUP, unless ignored when the run starts, ask the
// run to stop: reads are not restarted, and stop_signal() tells which
// signal came (0 while none has). A second one ends the process at once.
void catch_stop_signals();
int stop_signal();
// Ends the process by sig, with its default action, as if never caught.
[[noreturn]] void end_by_signal(int sig);
