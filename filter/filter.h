// The filter stage as the run sequence calls it: the engine, its reference and its settings.
#pragma once

#include <cstdint>

#include "base/streams.h"
#include "wav/wav.h"

// What the filter stage is given.
struct filter_job {
  int channels;                   // input channels, 1 or 2
  const sample_depth *in_depth;   // of the input's samples
  int taps;                       // coefficient rows
  bool stereo_fir;                // the coefficient file has two columns, one per output channel
  const sample_depth *out_depth;  // of the output's samples
  uint64_t frames;                // the frames the input declares
  bool to_end;                    // read to the end of the input instead
  const double *coef[2];          // the columns of output channels 1 and 2, taps each
};

// The filter's length rule: N input frames give N + taps - 1 output frames,
// the input's and the filter's tail.
uint64_t output_frames(uint64_t input_frames, int taps);
// Two output channels when the input is stereo or the coefficient file has
// two columns, else one.
int output_channels(const filter_job &job);

// Makes every buffer, plan and thread fir needs for job. The run sequence
// calls it before it writes the output header, so that a run that can't
// get them leaves an existing output file as it was.
void fir_setup(const filter_job &job);
// Filters the data chunk of in into out and returns the number of frames
// written: the frames read and the tail. Reading stops at the end of the
// input or, unless job.to_end is set, after job.frames frames. Prints the
// progress, the peak level and the clipping warning. A run asked to stop
// reads no more and writes the frames it has computed, without the tail
// and the end-of-run lines.
uint64_t fir(byte_stream &in, byte_stream &out, const filter_job &job);

// The same filter computed only by the exact arithmetic, output by output,
// one sample read and written at a time; it needs no setup. fir writes the
// same bytes and reports the same lines, on a run asked to stop too: the
// frames computed, without the tail and the end-of-run lines.
uint64_t fir_direct(byte_stream &in, byte_stream &out, const filter_job &job);

// Sets the threads fir runs on: 1 is the calling thread alone, 0 (the
// default) as many as the process may run on, fewer on inputs too short to
// share out, and never more than MAX_THREADS.
void set_filter_threads(int wanted);
constexpr int MAX_THREADS = 64;

// How fir forms the double sums it certifies: by the kernels, one window sum
// per output, or by the transform, blocks of outputs at once; automatic
// takes whichever is faster for the taps.
enum filter_method { automatic, kernel_sums, transform_sums };
void set_filter_method(filter_method method);
