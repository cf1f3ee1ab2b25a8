// The filter stage: streaming direct-form convolution of the input with the coefficient columns.
#pragma once

#include <cstdint>
#include <cstdio>

// Filters the data chunk of in into out, frame by frame, and returns the
// number of frames written: the frames read plus taps - 1 frames of tail.
// Reading stops at the end of the input or after frames frames (0 never
// matches). Prints the progress, the peak level and the clipping warning.
uint64_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames);

// How many output samples of the last fir call took the exact sum
// because the fast path could not decide them.
uint32_t exact_outputs();

// The same filter computed only by the exact arithmetic, output by
// output; fir writes the same bytes and reports the same lines.
uint64_t fir_direct(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps,
                    int stereo_fir, uint32_t frames);

// a[0] * b[0] + ... + a[n - 1] * b[n - 1] in double, in any order, with
// AVX-512 or AVX2 where the processor has them. Used by the fast path.
double dot(const double *a, const double *b, int n);
// The four sums out[j] = a[0] * b[j] + ... + a[n - 1] * b[n - 1 + j], j = 0
// to 3, the same way: four neighbouring windows against one column.
void dot4(const double *a, const double *b, int n, double *out);

// Chooses the kernels of dot and dot4: 0 portable, 1 AVX2 with FMA, 2
// AVX-512, at most what the processor has (the default). Returns the level
// now in use.
int simd_level(int wanted);
