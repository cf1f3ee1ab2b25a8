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

// The input's faults, as the run reports them.
void refuse_input(header_fault fault, int value) {
  stop_if_asked();
  switch (fault) {
    case not_wav:
      fatal(2, "Not a WAV file.");
    case corrupted_header:
      fatal(2, "Corrupted WAV header.");
    case channels_unsupported:
      fatal(2, "Number of channels (%d) not supported.", value);
    case bits_unsupported:
      fatal(2, "Unsupported bits/sample (%d) in WAV file.", value);
    case not_pcm:
      fatal(2, "Not a PCM WAV file.");
  }
}

// A fault of the header being read, which its reader's refusal reports;
// the refusal ends the process.
[[noreturn]] void refuse(void (*refusal)(header_fault, int), header_fault fault, int value = 0) {
  refusal(fault, value);
  abort();
}

[[noreturn]] void header_not_written() {
  fatal(2, "Can't write to file. (File system full?)");
}

// A format line; a float's bits are said to be a float's.
void print_format(const char *which, uint64_t frames, uint32_t rate, int channels,
                  const sample_depth &depth) {
  note("%s file: %" PRIu64 " samples, %" PRIu32 " Hz, %s, %d bits/sample%s.\n", which, frames, rate,
       channels == 1 ? "mono" : "stereo", depth.bits, depth.floating ? " (float)" : "");
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

// What the format chunk says.
struct format {
  int channels;
  uint32_t rate;
  const sample_depth *depth;
};

// The bits a sample may have in a format tapsum reads: the PCM depths and
// the floats'.
bool known_bits(int bits) {
  return bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 64;
}

// Reads the format chunk's body of size bytes (its header read) and the pad
// after it. A format chunk shorter than 16 bytes is still read as 16:
// nothing seeks back. The channels are checked first, then the bits, then
// the format: tag 1 (PCM) or 3 (IEEE float), or the extensible format
// (0xFFFE), which names its sample format by a GUID whose first two bytes,
// at bytes 24-25 of the chunk, are the tag it stands for; whenever the
// chunk holds them, they decide, however short the rest. A sample is read
// by its container, the bits at bytes 14-15, whatever the valid bits the
// extensible format adds.
format read_format(byte_stream &in, uint32_t size, int *carried,
                   void (*refusal)(header_fault, int)) {
  char bytes[16];
  if (read_bytes(in, bytes, 4) < 4) refuse(refusal, corrupted_header);
  const int tag = u16_le(bytes);
  const int channels = u16_le(bytes + 2);
  if (channels == 0 || channels > 2) refuse(refusal, channels_unsupported, channels);
  if (read_bytes(in, bytes + 4, 12) < 12) refuse(refusal, corrupted_header);
  const uint32_t rate = u32_le(bytes + 4);
  const int bits = u16_le(bytes + 14);
  if (!known_bits(bits)) refuse(refusal, bits_unsupported, bits);
  int sub_format = 0;
  const long format_size = static_cast<int32_t>(size);
  if (format_size > 16) {
    const uint32_t extra = static_cast<uint32_t>(format_size - 16);
    const uint32_t kept = std::min<uint32_t>(extra, 10);
    if (read_bytes(in, bytes, kept) < kept || !skip_bytes(in, extra - kept))
      refuse(refusal, corrupted_header);
    if (kept == 10) sub_format = u16_le(bytes + 8);
    *carried = pad_after(in, extra);
  } else {
    *carried = -1;
  }
  // A float of another depth than 32 or 64 bits is no format tapsum
  // knows, and one of integer codes is refused by its bits.
  const int stands_for = tag == 0xFFFE && format_size >= 26 ? sub_format : tag;
  const sample_depth *depth = depth_of(bits, stands_for == 3);
  if ((stands_for != 1 && stands_for != 3) || (stands_for == 3 && depth == nullptr))
    refuse(refusal, not_pcm);
  if (depth == nullptr) refuse(refusal, bits_unsupported, bits);
  return {channels, rate, depth};
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

// Reads a header up to the data chunk's body; refusal reports what it
// can't use. The input's warns of a RIFF size too small, which a
// coefficient file's needn't.
wav_input parse_header(byte_stream &in, void (*refusal)(header_fault, int), bool warn_size) {
  char line[28];
  // RF64 (and BW64, its broadcast name) is RIFF for files past 4 GiB: its
  // 32-bit sizes of 0xFFFFFFFF stand for those of its ds64 chunk.
  if (read_bytes(in, line, 8) < 8) refuse(refusal, not_wav);
  const bool rf64 = memcmp(line, "RF64", 4) == 0 || memcmp(line, "BW64", 4) == 0;
  if (memcmp(line, "RIFF", 4) != 0 && !rf64) refuse(refusal, not_wav);
  // 36 is the RIFF size of a file whose data chunk is empty. Streaming
  // writers put 0xFFFFFFFF here, and files over 2 GiB have sizes past 2^31:
  // neither is bad.
  if (warn_size && !rf64 && u32_le(line + 4) < 36) warn("Warning: Bad length in WAV header.");
  if (read_bytes(in, line, 4) < 4 || memcmp(line, "WAVE", 4) != 0)
    refuse(refusal, corrupted_header);

  // The chunks up to the data chunk: the format chunk, wherever it is among
  // them, and in RF64 the ds64 chunk's data size; any other chunk (JUNK,
  // bext, LIST, fact, ...) is skipped by its size, read as unsigned, so that
  // a size of 2^31 or more moves forward and never back to the same header.
  format fmt{};
  bool have_format = false;
  uint64_t ds64_data = 0;
  int carried = -1;
  for (;;) {
    if (!chunk_header(in, carried, line)) refuse(refusal, corrupted_header);
    const uint32_t size = u32_le(line + 4);
    if (memcmp(line, "data", 4) == 0) {
      if (!have_format) refuse(refusal, corrupted_header);
      break;
    }
    if (memcmp(line, "fmt ", 4) == 0 && !have_format) {
      fmt = read_format(in, size, &carried, refusal);
      have_format = true;
      continue;
    }
    uint32_t skipped = 0;
    if (rf64 && memcmp(line, "ds64", 4) == 0 && size >= 16) {
      if (read_bytes(in, line, 16) < 16) refuse(refusal, corrupted_header);
      ds64_data = u64_le(line + 8);
      skipped = 16;
    }
    if (!skip_bytes(in, size - skipped)) refuse(refusal, corrupted_header);
    carried = pad_after(in, size);
  }

  // A declared size of 0 reads on to the end of the input; so do the
  // placeholders of writers that stream a length they don't know yet, on an
  // input that can't seek, where they can't have been put right: sox's
  // 0x7FFFF000, ffmpeg's 0xFFFFFFFF (in RF64, with a ds64 size of 0), and
  // arecord's 0x80000000 and 0x7FFFFF00. A size smaller than a frame is no
  // frame at all.
  const uint32_t size = u32_le(line + 4);
  const uint64_t data = rf64 && size == 0xFFFFFFFF ? ds64_data : size;
  const uint64_t frames = data / static_cast<uint64_t>(frame_bytes(fmt.channels, *fmt.depth));
  const bool placeholder =
      (size == 0x7FFFF000 || size == 0xFFFFFFFF || size == 0x80000000 || size == 0x7FFFFF00) &&
      !can_seek(in);
  return {fmt.channels, fmt.depth, fmt.rate, frames, data == 0 || placeholder};
}

}  // namespace

wav_input read_header(byte_stream &in) {
  const wav_input input = parse_header(in, refuse_input, true);
  print_format("Input", input.frames, input.rate, input.channels, *input.depth);
  return input;
}

wav_input read_other_header(byte_stream &in, void (*refusal)(header_fault, int)) {
  return parse_header(in, refusal, false);
}

bool write_header(byte_stream &out, const wav_output &shape, bool truncate) {
  // A named output is emptied only now, so that a run refused before it
  // leaves an existing file as it was.
  struct stat st {};
  if (truncate && fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(out.fd, 0) != 0)
    header_not_written();
  const bool at_start = header_at_start(out.fd);

  // Written before any sample, so the output can go to a pipe; its sizes
  // assume the input holds the frames it declares. Where the output is a
  // regular file that starts with this header, finish_header puts in the
  // sizes of what was really written. Where it can't, and the length is not
  // known, the sizes are 0xFFFFFFFF, which sox, ffmpeg, flac and Python's
  // wave module all read to the end of the stream, and tapsum too.
  const int block_align = frame_bytes(shape.channels, *shape.depth);
  const bool placeholder = shape.unknown_length && !at_start;
  const uint32_t data_size = placeholder ? UINT32_MAX : data_size_of(shape.frames, block_align);
  unsigned char header[44] = {};
  memcpy(header, "RIFF", 4);
  put_u32_le(header + 4, placeholder ? UINT32_MAX : data_size + 36);
  memcpy(header + 8, "WAVEfmt ", 8);
  put_u32_le(header + 16, 16);
  put_u16_le(header + 20, shape.depth->floating ? 3 : 1);
  put_u16_le(header + 22, shape.channels);
  put_u32_le(header + 24, shape.rate);
  put_u32_le(header + 28, shape.rate * static_cast<uint32_t>(block_align));
  put_u16_le(header + 32, block_align);
  put_u16_le(header + 34, static_cast<uint32_t>(shape.depth->bits));
  memcpy(header + 36, "data", 4);
  put_u32_le(header + 40, data_size);
  // The header is flushed at once, so that an output that can take nothing
  // is reported as the header that could not be written.
  out.failed = header_not_written;
  write_bytes(out, header, sizeof header);
  flush_bytes(out);
  out.failed = output_failed;

  print_format("Output", shape.frames, shape.rate, shape.channels, *shape.depth);
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
