// The run's byte streams: one reader and one writer over a descriptor, with one rule for signals.
//
// stdio is not used for the run's streams: when a write fails, it drops the
// part of its buffer that was not taken, so a write cut short by a signal
// would leave a gap in the middle of the output. Here a byte leaves the
// buffer only once the system has taken it.
#include "base/streams.h"

#include <errno.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "base/signals.h"

namespace {

// Ends the process for a failed read or write: through s.failed, or
// output_cut for a write to a pipe.
[[noreturn]] void fail(byte_stream &s, bool reading, int error) {
  if (!reading && on_pipe(s.fd)) output_cut(error);
  s.failed();
  abort();
}

// The one rule: a read or write cut short by a signal is made again from
// where it stopped, unless it is a read and the run is stopping, which then
// reads no more: the stream has ended for it. A read other than of a
// regular file first waits for its bytes, so that a stop that comes while
// it waits is answered at once. A descriptor its parent left non-blocking
// is waited for, never taken to have failed. A write goes at offset when
// one is given. Returns the bytes moved, 0 at the end; any other failure
// ends the process.
size_t transfer(byte_stream &s, unsigned char *bytes, size_t count, bool reading,
                off_t offset = -1) {
  for (;;) {
    if (reading && stop_signal() != 0) return 0;
    if (reading && !s.regular && !wait_ready(s.fd, POLLIN)) return 0;
    const ssize_t moved = reading      ? read(s.fd, bytes, count)
                          : offset < 0 ? write(s.fd, bytes, count)
                                       : pwrite(s.fd, bytes, count, offset);
    if (moved >= 0) return static_cast<size_t>(moved);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!reading) {
        pollfd ask{s.fd, POLLOUT, 0};
        poll(&ask, 1, -1);
      }
      continue;
    }
    if (errno != EINTR) fail(s, reading, errno);
  }
}

}  // namespace

bool is_ready(const byte_stream &s) {
  if (s.next < s.held || s.regular) return true;
  pollfd ask{s.fd, POLLIN, 0};
  return poll(&ask, 1, 0) > 0;
}

namespace {

// Writes count bytes, at offset when one is given, however many calls it
// takes.
void write_all(byte_stream &s, const unsigned char *bytes, size_t count, off_t offset = -1) {
  while (count > 0) {
    const size_t moved = transfer(s, const_cast<unsigned char *>(bytes), count, false, offset);
    if (moved == 0) fail(s, false, EIO);
    bytes += moved;
    count -= moved;
    if (offset >= 0) offset += static_cast<off_t>(moved);
  }
}

// Reads what the buffer can take; the bytes held, 0 at the end.
size_t refill(byte_stream &s) {
  s.next = 0;
  s.held = transfer(s, s.buffer, s.capacity, true);
  return s.held;
}

}  // namespace

bool on_pipe(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

byte_stream stream_on(int fd, unsigned char *buffer, size_t capacity, void (*failed)()) {
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  return {fd, buffer, capacity, 0, 0, failed, regular};
}

namespace {

// Hands out up to count of the bytes the buffer holds; returns how many.
size_t take_held(byte_stream &s, unsigned char *to, size_t count) {
  const size_t taken = std::min(count, s.held - s.next);
  memcpy(to, s.buffer + s.next, taken);
  s.next += taken;
  return taken;
}

// Reads count bytes into at, fewer only at the end of the stream or, when
// ready_only, where the stream has no more ready between units of unit
// bytes (*stalled then says so); within a unit it waits for the rest.
size_t read_into(byte_stream &s, unsigned char *at, size_t count, size_t unit, bool ready_only,
                 bool *stalled) {
  size_t got = 0;
  while (got < count) {
    if (s.next < s.held) {
      got += take_held(s, at + got, count - got);
      continue;
    }
    if (ready_only && got % unit == 0 && !is_ready(s)) {
      *stalled = true;
      break;
    }
    // What the buffer couldn't hold is read straight into place.
    const bool direct = count - got >= s.capacity;
    const size_t moved = direct ? transfer(s, at + got, count - got, true) : refill(s);
    if (moved == 0) break;
    if (direct) got += moved;
  }
  return got;
}

}  // namespace

int next_byte_slow(byte_stream &s) {
  return refill(s) > 0 ? s.buffer[s.next++] : -1;
}

size_t read_bytes(byte_stream &s, void *to, size_t count) {
  bool stalled = false;
  return read_into(s, static_cast<unsigned char *>(to), count, 1, false, &stalled);
}

size_t read_ready(byte_stream &s, void *to, size_t count, size_t unit, bool *stalled) {
  *stalled = false;
  // A regular file has every byte ready.
  const size_t got =
      read_into(s, static_cast<unsigned char *>(to), count, unit, !s.regular, stalled);
  return got - got % unit;
}

void wait_readable(byte_stream &s) {
  if (s.next < s.held || s.regular) return;
  wait_ready(s.fd, POLLIN);
}

bool next_bytes_are(byte_stream &s, const void *text, size_t count) {
  // The bytes held move to the buffer's start, and more are read after
  // them until there are count, or the stream ends.
  std::memmove(s.buffer, s.buffer + s.next, s.held - s.next);
  s.held -= s.next;
  s.next = 0;
  while (s.held < count) {
    const size_t moved = transfer(s, s.buffer + s.held, s.capacity - s.held, true);
    if (moved == 0) break;
    s.held += moved;
  }
  return s.held >= count && std::memcmp(s.buffer, text, count) == 0;
}

bool can_seek(const byte_stream &s) {
  return lseek(s.fd, 0, SEEK_CUR) >= 0;
}

bool skip_bytes(byte_stream &s, uint64_t count) {
  const size_t buffered = static_cast<size_t>(std::min<uint64_t>(count, s.held - s.next));
  s.next += buffered;
  count -= buffered;
  if (count == 0) return true;
  // A regular file: a skip past its end is a stream that ends inside it.
  struct stat st {};
  const off_t at = lseek(s.fd, 0, SEEK_CUR);
  if (at >= 0 && fstat(s.fd, &st) == 0) {
    if (S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(at) + count > static_cast<uint64_t>(st.st_size))
      return false;
    return lseek(s.fd, static_cast<off_t>(count), SEEK_CUR) >= 0;
  }
  for (; count > 0; count--)
    if (next_byte(s) < 0) return false;
  return true;
}

void write_bytes(byte_stream &s, const void *bytes, size_t count) {
  const auto *from = static_cast<const unsigned char *>(bytes);
  if (s.held + count <= s.capacity) {
    memcpy(s.buffer + s.held, from, count);
    s.held += count;
    return;
  }
  flush_bytes(s);
  write_all(s, from, count);
}

void flush_bytes(byte_stream &s) {
  // held drops only after every byte is taken: a failure ends the process
  // with the bytes that reached the output a prefix of the whole.
  write_all(s, s.buffer, s.held);
  s.held = 0;
}

void write_bytes_at(byte_stream &s, uint64_t offset, const void *bytes, size_t count) {
  flush_bytes(s);
  write_all(s, static_cast<const unsigned char *>(bytes), count, static_cast<off_t>(offset));
}
