// What every part of tapsum shares: the tables, the fatal errors, the stop signals, the streams.
#pragma once

#include <cstddef>
#include <cstdint>

// Products and running sums are formed in the extended format; the results
// on half a code depend on its 64-bit significand.
#include "cli/extended.h"

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

// Not enough memory for the run: the message, status 2. Every allocation
// that fails ends here.
[[noreturn]] void out_of_memory();

// Whether a progress line has been printed on standard error and not
// ended; a message printed then starts a line of its own.
void progress_line_open(bool open);
// Ends an open progress line with a line feed.
void end_progress_line();

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

// One of the run's byte streams on its descriptor, with a buffer of its
// own: the input and the coefficient file read, the output written. Every
// read and write of the run goes through these, under one rule: a call cut
// short by a signal goes on from the byte where it stopped, except a read
// while the run is stopping, which is then the end of that stream. Any
// other failure calls failed, which ends the process.
struct byte_stream {
  int fd;
  unsigned char *buffer;
  size_t capacity;
  size_t next;       // reading: the next byte in buffer to hand out
  size_t held;       // reading: the bytes read into buffer; writing: those waiting
  void (*failed)();  // ends the process
};

byte_stream stream_on(int fd, unsigned char *buffer, size_t capacity, void (*failed)());

// The next byte, or -1 at the end of the stream.
int next_byte_slow(byte_stream &s);
inline int next_byte(byte_stream &s) {
  return s.next < s.held ? s.buffer[s.next++] : next_byte_slow(s);
}
// Reads count bytes into to; fewer only at the end of the stream.
size_t read_bytes(byte_stream &s, void *to, size_t count);
// Moves count bytes forward, seeking where the stream can; false when the
// stream ends inside the skip.
bool skip_bytes(byte_stream &s, uint64_t count);
// Whether the stream's descriptor can seek; a pipe can't.
bool can_seek(const byte_stream &s);

// Writes count bytes.
void write_bytes(byte_stream &s, const void *bytes, size_t count);
// Writes every byte still waiting in the buffer.
void flush_bytes(byte_stream &s);
inline void put_byte(byte_stream &s, unsigned char c) {
  if (s.held == s.capacity) flush_bytes(s);
  s.buffer[s.held++] = c;
}
// Writes count bytes at offset of a regular file, after those waiting.
void write_bytes_at(byte_stream &s, uint64_t offset, const void *bytes, size_t count);
