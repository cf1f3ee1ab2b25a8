// The WAV files: the header read and written, and the sample codec, a sample or a block at a time.
#pragma once

#include <cstdint>

#include "base/streams.h"

// A sample depth: how a sample lies in the data chunk and how its codes map
// onto -1..+1. Each depth tapsum reads and writes is one row (sample.cc),
// read by the codec and by certification alike.
struct sample_depth {
  int bits;            // bits per sample, as the format chunk names them
  int bytes;           // bytes of a sample in the data chunk
  bool floating;       // an IEEE float, whose value is its own; the rest is for codes
  bool offset_binary;  // unsigned codes, 0 at -1 (8 bits); else two's complement
  int64_t bottom;      // the code at -1
  int64_t top;         // the code at +1
  double full;         // 2^bits - 1, by which the formulas divide and multiply
  double half;         // full / 2, the codes per unit of value
};

// The row of bits per sample, integer codes or floats, or nullptr for a
// depth tapsum doesn't know.
const sample_depth *depth_of(int bits, bool floating);

// The formulas of a depth, in the number type T: the value of code c, and
// the scaled value of value whose nearest integer is its code. With
// offset-binary codes, x = 2c / full - 1 and (x + 1) full / 2; else x =
// (2c + 1) / full and (x full - 1) / 2. Evaluated in the extended format,
// each rounded to double where it is stored or passed on.
template <typename T>
constexpr T decoded_value(const sample_depth &d, int64_t c) {
  const T x = c;
  return d.offset_binary ? (x + x) / d.full - 1.0 : (x + x + 1.0) / d.full;
}
template <typename T>
constexpr T scaled_value(const sample_depth &d, double value) {
  const T x = value;
  return d.offset_binary ? (x + 1.0) * d.full / 2.0 : (x * d.full - 1.0) / 2.0;
}

// The bytes of a frame of channels samples of depth.
constexpr int frame_bytes(int channels, const sample_depth &depth) {
  return channels * depth.bytes;
}

// What the input's header says.
struct wav_input {
  int channels;               // 1 or 2
  const sample_depth *depth;  // of each sample
  uint32_t rate;              // copied to the output as it is
  uint64_t frames;            // whole frames the data chunk declares
  bool to_end;                // read to the end of the input: the data chunk declares 0
                              // bytes, or a streaming writer's placeholder on an input
                              // that can't seek
};

// An output as its header and its format line state it.
struct wav_output {
  uint64_t frames;
  int channels;
  const sample_depth *depth;
  uint32_t rate;
  bool unknown_length;  // the input is read to its end: frames is what it declared
};

// Reads the input header up to the data chunk's body and prints the input
// format line. Ends the process on a header it can't use.
wav_input read_header(byte_stream &in);

// What makes a header unusable: its reader says so in its own words, with
// the channels or bits read where the fault has one.
enum header_fault { not_wav, corrupted_header, channels_unsupported, bits_unsupported, not_pcm };
// Reads a WAV file's header other than the input's up to the data chunk's
// body; refusal, which ends the process, reports what it can't use.
wav_input read_other_header(byte_stream &in, void (*refusal)(header_fault fault, int value));
// The weight of a coefficient given as a sample of depth, its bytes as they
// lie: a code v of b bits is v / 2^(b - 1), so that a code of 0, 128 at 8
// bits, is a weight of 0; a float is its own value.
double weight_of(const unsigned char *bytes, const sample_depth &depth);
// Writes the 44-byte output header for shape, tag 1 (PCM) or 3 (IEEE
// float), and prints the output format line; a regular file the run opened
// (truncate) is emptied first. Returns
// whether the output is a regular file that begins with the header, whose
// sizes finish_header can then put right.
bool write_header(byte_stream &out, const wav_output &shape, bool truncate);
// Puts the sizes of the frames written into such an output's header; a
// failed write ends the process.
void finish_header(byte_stream &out, const wav_output &shape, uint64_t written);

// Decodes one sample into out: a code to -1..+1, a float to its value.
// Returns 0, or 2 for a float that is infinite or not a number, read as 0,
// or 1 when the input ends before the sample is complete, leaving out
// unchanged; a read error ends the run.
int read_sample(byte_stream &stream, const sample_depth &depth, double *out);
// Writes value's code: clipped to -1..+1 for integer codes, and whether it
// had to clip; rounded to the nearest value of a float depth, which never
// clips. A failed write ends the process.
bool write_sample(double value, const sample_depth &depth, byte_stream &stream);
// The code write_sample writes for value, from depth.bottom to depth.top,
// or a float's bits, and whether it clips.
int64_t sample_code(double value, const sample_depth &depth, bool *clipped);

// Decodes frames whole frames of interleaved samples into ch1 and, for
// stereo, ch2: the values read_sample gives; returns how many were floats
// not finite, read as 0. 16-bit samples go four at a time through AVX2
// when vector is set, which the caller does only on a processor that has
// it, else one at a time.
uint64_t decode_frames(const unsigned char *bytes, const sample_depth &depth, int channels,
                       int frames, double *ch1, double *ch2, bool vector);
// The bytes of frames frames of codes, channel c's from low[c] and, for
// samples of 8 bytes, high[c], the upper half of each code, as
// write_sample writes them.
void encode_frames(const int32_t *const *low, const int32_t *const *high, int channels, int frames,
                   const sample_depth &depth, unsigned char *bytes);
