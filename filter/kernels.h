// The kernels of each instruction set, for the dispatch in kernels.cc alone.
#pragma once

// sums[i] = reversed[0] * x[i] + ... + reversed[taps - 1] * x[i + taps - 1]
// for i below n, a multiple of 8, each one chain of fused multiply-adds;
// on a processor with the instruction set only.
void sums_avx2(const double *reversed, const double *x, int taps, int n, double *sums);
void sums_avx512(const double *reversed, const double *x, int taps, int n, double *sums);
