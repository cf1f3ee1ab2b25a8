// The RIFF/WAVE header: read up to the data chunk's body, and the canonical 44-byte output header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "base/report.h"
#include "base/signals.h"
#include "base/streams.h"
#include "wav/bytes.h"
#include "wav/wav.h"

namespace {

// A header cut short by a signal that asks the run to stop is no fault of
// the input's: the run ends by the signal, with no message about the input.
void stop_if_asked() {
  if (const int sig = stop_signal()) end_by_signal(sig);
}

[[noreturn]] void not_a_wav() {
  stop_if_asked();
  fatal(2, "Not a WAV file.");
}

[[noreturn]] void corrupted() {
  stop_if_asked();
  fatal(2, "Corrupted WAV header.");
}

[[noreturn]] void header_not_written() {
  fatal(2, "Can't write to file. (File system full?)");
}

void print_format(const char *which, uint64_t frames, uint32_t rate, int channels, int bits) {
  note("%s file: %" PRIu64 " samples, %" PRIu32 " Hz, %s, %d bits/sample.\n", which, frames, rate,
       channels == 1 ? "mono" : "stereo", bits);
}

// RIFF pads a chunk of odd size with a zero byte. Some writers don't: a byte
// other than 0 is the first of the next chunk's id, and is handed back to be
// read as such; -1 when there is none to hand back.
int pad_after(byte_stream &in, uint32_t size) {
  if (size % 2 == 0) return -1;
  const int c = next_byte(in);
  return c <= 0 ? -1 : c;
}

// Reads a chunk's id and size into bytes, after the byte carried over from
// an unpadded odd chunk when there is one. false when the input ends first.
bool chunk_header(byte_stream &in, int carried, char *bytes) {
  if (carried < 0) return read_bytes(in, bytes, 8) == 8;
  bytes[0] = static_cast<char>(carried);
  return read_bytes(in, bytes + 1, 7) == 7;
}

// The data chunk's size for frames of frame_bytes: no count wraps; it
// saturates at the largest whole number of frames whose RIFF size (the data
// size + 36) fits 32 bits.
uint32_t data_size_of(uint64_t frames, int frame_bytes) {
  const uint64_t most = (UINT32_MAX - 36) / static_cast<uint64_t>(frame_bytes);
  return static_cast<uint32_t>(std::min(frames, most) * static_cast<uint64_t>(frame_bytes));
}

// Whether the output is a regular file, not appended to, whose first byte
// the header will be: only then can its sizes be put in at the end.
bool header_at_start(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (fcntl(fd, F_GETFL) & O_APPEND) == 0 &&
         lseek(fd, 0, SEEK_CUR) == 0;
}

}  // namespace

wav_input read_header(byte_stream &in) {
  char line[12];
  if (read_bytes(in, line, 8) < 8 || memcmp(line, "RIFF", 4) != 0) not_a_wav();
  // 36 is the RIFF size of a file whose data chunk is empty. Streaming
  // writers put 0xFFFFFFFF here, and files over 2 GiB have sizes past 2^31:
  // neither is bad.
  if (u32_le(line + 4) < 36) warn("Warning: Bad length in WAV header.");

  // The format chunk must be the form's first chunk.
  if (read_bytes(in, line, 8) < 8 || memcmp(line, "WAVEfmt ", 8) != 0) corrupted();

  // A format chunk shorter than 16 bytes is still read as 16: nothing seeks back.
  if (read_bytes(in, line, 8) < 8) corrupted();
  const long format_size = s32_le(line);
  const int tag = u16_le(line + 4);
  const int channels = u16_le(line + 6);
  if (channels == 0 || channels > 2) fatal(2, "Number of channels (%d) not supported.", channels);

  if (read_bytes(in, line, 12) < 12) corrupted();
  const uint32_t rate = u32_le(line);
  const int bits = u16_le(line + 10);
  const sample_depth *depth = depth_of(bits);
  if (depth == nullptr) fatal(2, "Unsupported bits/sample (%d) in WAV file.", bits);

  // The extensible format names its sample format by a GUID whose first two
  // bytes, at bytes 24-25 of the chunk, are the format tag it stands for;
  // whenever the chunk holds them, they decide, however short the rest.
  int sub_format = 0;
  int carried = -1;
  if (format_size > 16) {
    const uint32_t extra = static_cast<uint32_t>(format_size - 16);
    const uint32_t kept = std::min<uint32_t>(extra, 10);
    if (read_bytes(in, line, kept) < kept || !skip_bytes(in, extra - kept)) corrupted();
    if (kept == 10) sub_format = u16_le(line + 8);
    carried = pad_after(in, extra);
  }
  if (tag != 1 && !(tag == 0xFFFE && format_size >= 26 && sub_format == 1))
    fatal(2, "Not a PCM WAV file.");

  // Any chunk other than data is skipped by its size, read as unsigned, so
  // a size of 2^31 or more moves forward and never back to the same header.
  for (;;) {
    if (!chunk_header(in, carried, line)) corrupted();
    if (memcmp(line, "data", 4) == 0) break;
    const uint32_t size = u32_le(line + 4);
    if (!skip_bytes(in, size)) corrupted();
    carried = pad_after(in, size);
  }
  // A declared size of 0 reads on to the end of the input; so do the
  // placeholders of writers that stream a length they don't know yet,
  // sox's 0x7FFFF000 and ffmpeg's 0xFFFFFFFF, on an input that can't seek,
  // where they can't have been put right. A size smaller than a frame is no
  // frame at all.
  const uint32_t size = u32_le(line + 4);
  const uint32_t frames = size / static_cast<uint32_t>(frame_bytes(channels, *depth));
  const bool placeholder = (size == 0x7FFFF000 || size == 0xFFFFFFFF) && !can_seek(in);
  print_format("Input", frames, rate, channels, bits);
  return {channels, depth, rate, frames, size == 0 || placeholder};
}

bool write_header(byte_stream &out, const wav_output &shape, bool truncate) {
  const int block_align = frame_bytes(shape.channels, *shape.depth);
  const uint32_t data_size = data_size_of(shape.frames, block_align);

  // Written before any sample, so the output can go to a pipe; its sizes
  // assume the input holds the frames it declares. Where the output is a
  // regular file that starts with this header, finish_header puts in the
  // sizes of what was really written.
  unsigned char header[44] = {};
  memcpy(header, "RIFF", 4);
  put_u32_le(header + 4, data_size + 36);
  memcpy(header + 8, "WAVEfmt ", 8);
  put_u32_le(header + 16, 16);
  put_u16_le(header + 20, 1);
  put_u16_le(header + 22, shape.channels);
  put_u32_le(header + 24, shape.rate);
  put_u32_le(header + 28, shape.rate * static_cast<uint32_t>(block_align));
  put_u16_le(header + 32, block_align);
  put_u16_le(header + 34, static_cast<uint32_t>(shape.depth->bits));
  memcpy(header + 36, "data", 4);
  put_u32_le(header + 40, data_size);
  // A named output is emptied only now, so that a run refused before it
  // leaves an existing file as it was. The header is flushed at once, so
  // that an output that can take nothing is reported as the header that
  // could not be written.
  struct stat st {};
  if (truncate && fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(out.fd, 0) != 0)
    header_not_written();
  const bool at_start = header_at_start(out.fd);
  out.failed = header_not_written;
  write_bytes(out, header, sizeof header);
  flush_bytes(out);
  out.failed = output_failed;

  print_format("Output", shape.frames, shape.rate, shape.channels, shape.depth->bits);
  return at_start;
}

void finish_header(byte_stream &out, const wav_output &shape, uint64_t written) {
  const uint32_t data_size = data_size_of(written, frame_bytes(shape.channels, *shape.depth));
  unsigned char riff[4];
  unsigned char data[4];
  put_u32_le(riff, data_size + 36);
  put_u32_le(data, data_size);
  write_bytes_at(out, 4, riff, 4);
  write_bytes_at(out, 40, data, 4);
}
