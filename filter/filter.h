// The filter stage: streaming direct-form convolution of the input with the coefficient columns.
#pragma once

#include <cstdint>
#include <cstdio>

// Filters the data chunk of in into out and returns the number of frames
// written: the frames read plus taps - 1 frames of tail. Reading stops at
// the end of the input or after frames frames (0 never matches). Prints the
// progress, the peak level and the clipping warning.
uint64_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames);

// The same filter computed only by the exact arithmetic, output by output,
// one sample read and written at a time; fir writes the same bytes and
// reports the same lines.
uint64_t fir_direct(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps,
                    int stereo_fir, uint32_t frames);

// How many output samples of the last fir call took the exact sum because
// the bound could not decide their code, or they could be the peak.
uint64_t exact_outputs();

// Sets the threads fir runs on: 1 is the calling thread alone, 0 (the
// default) as many as the process may run on, fewer on inputs too short to
// share out. Returns the number asked for.
int filter_threads(int wanted);

// Chooses the kernels, and the certification and decoding that go with them: 0
// portable, 1 AVX2 with FMA, 2 AVX-512; at most what the processor has (the
// default); -1 leaves them as they are. Returns the level now in use.
int simd_level(int wanted);

// The parts of fir, shared by the files of this folder, the tests and the
// benchmark.

// The report lines both paths print: the percentage after done of frames
// declared frames, and at the end the peak level and, when an output
// clipped, the warning.
void report_progress(uint64_t done, uint64_t frames);
void report_end(double peak, int clipped);

// Outputs a kernel call computes at once; callers round their counts up to
// a multiple of it.
constexpr int KERNEL_OUTPUTS = 8;

// sums[i] = reversed[0] * x[i] + ... + reversed[taps - 1] * x[i + taps - 1]
// in double, for i below n, a multiple of KERNEL_OUTPUTS: each sum is one
// chain of taps fused multiply-adds (or products and additions in the
// portable kernel), so it is rounded at most taps + 1 times on any path.
void block_sums(const double *reversed, const double *x, int taps, int n, double *sums);

// The exact sum of coef[k] * at[-k] for k from first to last, added in that
// order to sum: in the extended format, or with the running sum rounded to
// double after every addition when rounded is set.
long double exact_sum(const double *coef, const double *at, int first, int last, bool rounded,
                      long double sum);
// The same for four outputs, whose chains are interleaved.
void exact_sum4(const double *coef, const double *const *at, int first, int last, bool rounded,
                long double *sums);

// The error bound of the double sums of a column, or -1 when there is none
// (a coefficient not finite, or a sum of magnitudes too large); the
// argument is in certify.cc.
double column_bound(const double *coef, int taps);

// Certifies the n double sums of one output channel. An output whose code
// every value within the bound of its sum gives has that code written to
// codes[i] and its clip flag ORed into clipped; the others are
// listed in open, in order: those whose code is left open, and those whose
// exact magnitude could pass both floor, a lower bound of the peak, and
// the magnitudes the other sums make certain. Returns how many are listed.
int certify(const double *sums, int n, double bound, int bits, double floor, int *codes,
            int *clipped, int *open);

// Threads computing the blocks of a run: compute_block(slot) runs on one of
// them, or on the calling thread. start_workers starts count - 1 threads;
// hand_out queues a slot; wait_done returns when a slot has been computed,
// computing queued slots itself while it waits; stop_workers ends them.
void compute_block(int slot);
void start_workers(int count);
void hand_out(int slot);
void wait_done(int slot);
void stop_workers();
