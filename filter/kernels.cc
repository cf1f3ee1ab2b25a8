// The double sums of the fast path: the kernel of each level, the portable one, and the choice.
//
// Output i of a block is the sum of reversed[m] * x[i + m], m = 0 to taps - 1:
// the coefficients run oldest first along a window of the input. A kernel
// pass keeps R vectors of neighbouring outputs in registers and, for each
// tap, broadcasts the coefficient once and adds its product with R loaded
// windows, so that R independent chains hide the latency of the fused
// multiply-add and each coefficient load serves R * lanes outputs; the
// blocked passes keep a group of taps in registers too, so that each loaded
// window serves two vectors. Every output is one chain over its taps, in
// order or, in the blocked passes, in an order of their own within each
// group, with terms of coefficient 0 that add nothing: at most taps
// roundings with fused multiply-adds, taps + 1 in the portable kernel, which
// rounds its products.
#include <algorithm>

#include "filter/engine.h"
#include "filter/kernels.h"

namespace {

// The highest level the processor has: the vector kernels are x86-64's;
// elsewhere the portable one serves.
kernel_level detect() {
#ifndef __x86_64__
  return portable_kernels;
#else
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return avx512_kernels;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2_kernels;
  return portable_kernels;
#endif
}

const kernel_level best = detect();
kernel_level level = best;

// R outputs at a time, each in its own scalar chain.
template <int R>
void pass_portable(const double *reversed, const double *x, int taps, double *sums) {
  double acc[R] = {};
  for (int m = 0; m < taps; m++) {
    const double h = reversed[m];
    for (int j = 0; j < R; j++) acc[j] += h * x[m + j];
  }
  for (int j = 0; j < R; j++) sums[j] = acc[j];
}

void sums_portable(const double *reversed, const double *x, int taps, int n, double *sums) {
  for (int i = 0; i < n; i += 8) pass_portable<8>(reversed, x + i, taps, sums + i);
}

// The portable kernel's sums of count outputs, at most 8, anywhere in x,
// one chain each, as pass_portable forms them.
void portable_sums_at(const double *reversed, const double *x, int taps, const int *at, int count,
                      double *sums) {
  double acc[8] = {};
  for (int m = 0; m < taps; m++) {
    const double h = reversed[m];
    for (int j = 0; j < count; j++) acc[j] += h * x[at[j] + m];
  }
  std::copy_n(acc, count, sums);
}

}  // namespace

void block_sums(const double *reversed, const double *x, int taps, int n, double *sums) {
  switch (level) {
#ifdef __x86_64__
    case avx512_kernels:
      return sums_avx512(reversed, x, taps, n, sums);
    case avx2_kernels:
      return sums_avx2(reversed, x, taps, n, sums);
#endif
    default:
      return sums_portable(reversed, x, taps, n, sums);
  }
}

void sums_at(const double *reversed, const double *x, int taps, const int *at, int count,
             double *sums) {
#ifdef __x86_64__
  if (level == avx2_kernels || level == avx512_kernels)
    return dot_sums_avx2(reversed, x, taps, at, count, sums);
#endif
  for (int from = 0; from < count; from += 8)
    portable_sums_at(reversed, x, taps, at + from, std::min(8, count - from), sums + from);
}

kernel_level best_kernel_level() {
  return best;
}

kernel_level kernel_level_in_use() {
  return level;
}

kernel_level set_kernel_level(kernel_level wanted) {
  level = wanted < best ? wanted : best;
  return level;
}

bool avx2_codecs(kernel_level at) {
  return at == avx2_kernels || at == avx512_kernels;
}
