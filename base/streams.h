// The run's byte streams: one reader and one writer over a descriptor, with one rule for signals.
#pragma once

#include <cstddef>
#include <cstdint>

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
  bool regular;      // a regular file, ready at every byte; else a pipe, a terminal, ...
};

// Whether fd is a pipe or a socket.
bool on_pipe(int fd);

byte_stream stream_on(int fd, unsigned char *buffer, size_t capacity, void (*failed)());

// The next byte, or -1 at the end of the stream.
int next_byte_slow(byte_stream &s);
inline int next_byte(byte_stream &s) {
  return s.next < s.held ? s.buffer[s.next++] : next_byte_slow(s);
}
// Reads count bytes into to; fewer only at the end of the stream.
size_t read_bytes(byte_stream &s, void *to, size_t count);
// Reads up to count bytes into to, whole units of unit bytes, as far as
// the stream has them ready: it waits for the rest of a unit begun, never
// for a unit not begun. stalled tells whether it stopped for want of bytes
// ready, not at count or at the end of the stream.
size_t read_ready(byte_stream &s, void *to, size_t count, size_t unit, bool *stalled);
// Whether a byte of the stream, or its end, can be read now without
// waiting.
bool is_ready(const byte_stream &s);
// Waits until the stream has a byte ready, or has ended, or the run is
// asked to stop.
void wait_readable(byte_stream &s);
// Whether the stream's next bytes, not yet read, are count bytes equal to
// those at text, count at most the buffer's capacity: they stay to be read.
bool next_bytes_are(byte_stream &s, const void *text, size_t count);
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
