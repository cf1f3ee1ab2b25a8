// The filter stage as the run sequence calls it: the engine, its reference and its settings.
#pragma once

#include <cstdint>
#include <cstdio>

// Filters the data chunk of in into out and returns the number of frames
// written: the frames read plus taps - 1 frames of tail. Reading stops at
// the end of the input or, unless to_end is set, after frames frames.
// Prints the progress, the peak level and the clipping warning.
uint64_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames, bool to_end);

// The same filter computed only by the exact arithmetic, output by output,
// one sample read and written at a time; fir writes the same bytes and
// reports the same lines.
uint64_t fir_direct(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps,
                    int stereo_fir, uint32_t frames, bool to_end);

// Sets the threads fir runs on: 1 is the calling thread alone, 0 (the
// default) as many as the process may run on, fewer on inputs too short to
// share out, and never more than MAX_THREADS. Returns the number asked for.
int filter_threads(int wanted);
constexpr int MAX_THREADS = 64;

// How fir forms the double sums it certifies: by the kernels, one window sum
// per output, or by the transform, blocks of outputs at once; automatic
// takes whichever is faster for the taps.
enum filter_method { automatic, kernel_sums, transform_sums };
void set_filter_method(filter_method method);
