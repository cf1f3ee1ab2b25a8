// The kernels of each instruction set, for the dispatch in kernels.cc alone.
#pragma once

// sums[i] = reversed[0] * x[i] + ... + reversed[taps - 1] * x[i + taps - 1]
// for i below n, a multiple of 8, each one chain of fused multiply-adds;
// on a processor with the instruction set only.
void sums_avx2(const double *reversed, const double *x, int taps, int n, double *sums);
void sums_avx512(const double *reversed, const double *x, int taps, int n, double *sums);

// The same sum of each of count outputs anywhere in x, output j's window
// starting at x + at[j]: sixteen chains of fused multiply-adds over every
// sixteenth tap, added in a tree of four levels, so that no product is
// rounded more than taps / 16 + 5 times on its way to the sum.
void dot_sums_avx2(const double *reversed, const double *x, int taps, const int *at, int count,
                   double *sums);
