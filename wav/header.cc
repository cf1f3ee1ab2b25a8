// The RIFF/WAVE header: read up to the data chunk's body, and the canonical 44-byte output header.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cli/tapsum.h"
#include "wav/wav.h"

namespace {

const char corrupted[] = "tapsum: Corrupted WAV header.\n";

uint32_t unsigned_at(const char *bytes) {
  return static_cast<uint32_t>(char2long(bytes));
}

void put_long(char *at, long value) {
  for (int k = 0; k < 4; k++) at[k] = static_cast<char>(long2char(value, k) & 0xFF);
}

// Two-byte fields hold values below 256: the value, then a zero byte.
void put_short(char *at, int value) {
  at[0] = static_cast<char>(value);
  at[1] = 0;
}

void print_format(const char *which, uint32_t frames, long rate, int channels, int bits) {
  fprintf(stderr, "%s file: %ld samples, %ld Hz, %s, %d bits/sample.\n", which,
          static_cast<long>(frames), rate, channels == 1 ? "mono" : "stereo", bits);
}

}  // namespace

int read_bytes(FILE *stream, char *buffer, int count) {
  for (int i = 0; i < count; i++) {
    const int c = getc(stream);
    if (c == EOF) return -1;
    buffer[i] = static_cast<char>(c);
  }
  return 0;
}

long char2long(const char *bytes) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; k--) v = v << 8 | static_cast<unsigned char>(bytes[k]);
  return static_cast<int32_t>(v);
}

long long2char(long value, int k) {
  return value >> (8 * k);
}

wav_format header_stage(FILE *in, FILE *out, int out_bits, int taps, int stereo_fir) {
  if (read_bytes(in, line, 8) < 0 || memcmp(line, "RIFF", 4) != 0)
    err_exit("tapsum: Not a WAV file.\n", 2);
  // 36 is the RIFF size of a file whose data chunk is empty.
  if (char2long(line + 4) <= 35) fputs("tapsum: Warning: Bad length in WAV header.\n", stderr);

  // The format chunk must be the form's first chunk.
  if (read_bytes(in, line, 8) < 0 || memcmp(line, "WAVEfmt ", 8) != 0) err_exit(corrupted, 2);

  // A format chunk shorter than 16 bytes is still read as 16: nothing seeks back.
  if (read_bytes(in, line, 8) < 0) err_exit(corrupted, 2);
  const long format_size = char2long(line);
  const int channels = static_cast<signed char>(line[6]);
  if (channels == 0 || static_cast<unsigned>(channels) > 2)
    err_exit("tapsum: Number of channels (%d) not supported.\n", channels, 2);

  if (read_bytes(in, line, 12) < 0) err_exit(corrupted, 2);
  const long rate = char2long(line);
  const int in_bits = static_cast<signed char>(line[10]);
  if (in_bits != 8 && in_bits != 16)
    err_exit("tapsum: Unsupported bits/sample (%d) in WAV file.\n", in_bits, 2);
  if (out_bits == 0) out_bits = in_bits;

  // Skips are relative seeks, so on a pipe only a 16-byte format chunk
  // followed directly by the data chunk can be read.
  if (format_size > 16 && fseek(in, format_size - 16, SEEK_CUR) != 0)
    err_exit("tapsum: Corrupted header.\n", 1);

  // Any chunk other than data is skipped by its size, read as unsigned, so
  // a size of 2^31 or more moves forward and never back to the same header.
  for (;;) {
    if (read_bytes(in, line, 8) < 0) err_exit(corrupted, 2);
    if (memcmp(line, "data", 4) == 0) break;
    if (fseek(in, static_cast<long>(unsigned_at(line + 4)), SEEK_CUR) != 0) err_exit(corrupted, 2);
  }
  const uint32_t frame_bytes = static_cast<uint32_t>(channels * in_bits / 8);
  const uint32_t frames = unsigned_at(line + 4) / frame_bytes;
  print_format("Input", frames, rate, channels, in_bits);

  const int out_channels = stereo_fir ? 2 : channels;
  const int bytes = out_bits / 8;
  const uint32_t out_frames = static_cast<uint32_t>(taps) + frames - 1;
  const uint32_t riff_size = out_frames * static_cast<uint32_t>(bytes * out_channels) + 36;

  // Written once, before any sample and never revised, so the output can go
  // to a pipe; its sizes assume the input holds the frames it declares.
  char header[44];
  memcpy(header, "RIFF", 4);
  put_long(header + 4, riff_size);
  memcpy(header + 8, "WAVEfmt ", 8);
  put_long(header + 16, 16);
  put_short(header + 20, 1);
  put_short(header + 22, out_channels);
  put_long(header + 24, rate);
  put_long(header + 28, static_cast<int32_t>(static_cast<uint32_t>(rate) *
                                             static_cast<uint32_t>(out_channels * bytes)));
  put_short(header + 32, bytes * out_channels);
  put_short(header + 34, out_bits);
  memcpy(header + 36, "data", 4);
  put_long(header + 40, riff_size - 36);
  // Flushed at once, so that an output that can take nothing is reported as
  // the header that could not be written.
  if (fwrite(header, 1, sizeof header, out) != sizeof header || fflush(out) != 0)
    err_exit("tapsum: Can't write to file. (File system full?)\n", 2);

  print_format("Output", out_frames, rate, out_channels, out_bits);
  return {channels, in_bits, out_bits, frames};
}
