// The WAV files: the header read and written, and the sample codec, a sample or a block at a time.
#pragma once

#include <cstdint>
#include "base/streams.h"

// The bytes of a frame of channels samples of bits each.
constexpr int frame_bytes(int channels, int bits) {
  return channels * bits / 8;
}

// What the input's header says.
struct wav_input {
  int channels;     // 1 or 2
  int bits;         // bits per sample, 8 or 16
  uint32_t rate;    // copied to the output as it is
  uint32_t frames;  // whole frames the data chunk declares
  bool to_end;      // read to the end of the input: the data chunk declares 0 bytes, or a
                    // streaming writer's placeholder on an input that can't seek
};

// An output as its header and its format line state it.
struct wav_output {
  uint64_t frames;
  int channels;
  int bits;
  uint32_t rate;
};

// Reads the input header up to the data chunk's body and prints the input
// format line. Ends the process on a header it can't use.
wav_input read_header(byte_stream &in);
// Writes the 44-byte output header for shape and prints the output format
// line; a regular file the run opened (truncate) is emptied first. Returns
// whether the output is a regular file that begins with the header, whose
// sizes finish_header can then put right.
bool write_header(byte_stream &out, const wav_output &shape, bool truncate);
// Puts the sizes of the frames written into such an output's header; a
// failed write ends the process.
void finish_header(byte_stream &out, const wav_output &shape, uint64_t written);

// Decodes one sample of 8 or 16 bits into out, from -1 to +1. Returns 1 when
// the input ends before the sample is complete, leaving out unchanged; a
// read error ends the run.
int read_sample(byte_stream &stream, int bits, double *out);
// Clips value to -1..+1 and writes its code; returns 1 when it had to clip.
// A failed write ends the process.
bool write_sample(double value, int bits, byte_stream &stream);
// The code write_sample writes for value (0 to 255, or -32768 to 32767), and
// whether it clips.
int sample_code(double value, int bits, bool *clipped);

// Decodes frames whole frames of interleaved 8- or 16-bit samples into ch1
// and, for stereo, ch2: the values read_sample gives. 16-bit samples go four
// at a time through AVX2 when vector is set, which the caller does only on a
// processor that has it, else one at a time.
void decode_frames(const unsigned char *bytes, int bits, int channels, int frames, double *ch1,
                   double *ch2, bool vector);
// The bytes of frames frames of codes of 8 or 16 bits, channel 1's from
// ch1 and, for stereo, channel 2's from ch2, as write_sample writes them.
void encode_frames(const int *ch1, const int *ch2, int channels, int frames, int bits,
                   unsigned char *bytes);
