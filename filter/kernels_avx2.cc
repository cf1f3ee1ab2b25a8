// The AVX2 kernel: 6 vectors of 4 outputs and 8 taps at a time in registers, with fused
// multiply-adds.
//
// Each output is one chain of fused multiply-adds over its taps (kernels.cc).
#ifdef __x86_64__
#include <immintrin.h>

#include "filter/kernels.h"

namespace {

// R vectors of 4 outputs, one tap at a time: R + 1 loads for R fused
// multiply-adds. For the passes left over at the end of a block.
template <int R>
__attribute__((target("avx2,fma"), always_inline)) inline void pass_avx2(const double *reversed,
                                                                         const double *x, int taps,
                                                                         double *sums) {
  __m256d acc[R];
  for (int j = 0; j < R; j++) acc[j] = _mm256_setzero_pd();
  for (int m = 0; m < taps; m++) {
    const __m256d h = _mm256_broadcast_sd(reversed + m);
    for (int j = 0; j < R; j++) acc[j] = _mm256_fmadd_pd(h, _mm256_loadu_pd(x + m + 4 * j), acc[j]);
  }
  for (int j = 0; j < R; j++) _mm256_storeu_pd(sums + 4 * j, acc[j]);
}

// 6 vectors of 4 outputs, 8 taps at a time held in registers. Vector j
// needs the window at offset m + 4j for tap m, so the window loaded at
// offset s serves tap s - 4j of vector j and tap s - 4j + 4 of vector j - 1:
// 28 loads for 48 fused multiply-adds, where one tap at a time takes 48.
// The windows are taken in the order 0, 8, 16, 24, 1, 9, ..., so that
// neighbouring multiply-adds go to different vectors and six chains are in
// flight. Each output is still one chain: vectors 1, 3 and 5 take the taps
// of a group in the order 4 to 7, then 0 to 3.
__attribute__((target("avx2,fma"))) void pass6_avx2(const double *reversed, const double *x,
                                                    int taps, double *sums) {
  constexpr int R = 6;
  __m256d acc[R];
  for (int j = 0; j < R; j++) acc[j] = _mm256_setzero_pd();
  int m = 0;
  for (; m + 8 <= taps; m += 8) {
    __m256d h[8];
#pragma GCC unroll 8
    for (int r = 0; r < 8; r++) h[r] = _mm256_broadcast_sd(reversed + m + r);
#pragma GCC unroll 8
    for (int first = 0; first < 8; first++) {
#pragma GCC unroll 4
      for (int s = first; s < 4 * R + 4; s += 8) {
        __m256d window = _mm256_loadu_pd(x + m + s);
        // Held in a register: the compiler would otherwise load it again as
        // the memory operand of each multiply-add.
        asm("" : "+x"(window));
        const int j = s / 4;
        if (j < R) acc[j] = _mm256_fmadd_pd(h[s - 4 * j], window, acc[j]);
        if (j >= 1 && j - 1 < R) acc[j - 1] = _mm256_fmadd_pd(h[s - 4 * j + 4], window, acc[j - 1]);
      }
    }
  }
  for (; m < taps; m++) {
    const __m256d h = _mm256_broadcast_sd(reversed + m);
    for (int j = 0; j < R; j++) acc[j] = _mm256_fmadd_pd(h, _mm256_loadu_pd(x + m + 4 * j), acc[j]);
  }
  for (int j = 0; j < R; j++) _mm256_storeu_pd(sums + 4 * j, acc[j]);
}

}  // namespace

__attribute__((target("avx2,fma"))) void dot_sums_avx2(const double *reversed, const double *x,
                                                       int taps, const int *at, int count,
                                                       double *sums) {
  const int whole = taps / 16 * 16;
  for (int j = 0; j < count; j++) {
    const double *w = x + at[j];
    __m256d acc[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(),
                      _mm256_setzero_pd()};
    for (int m = 0; m < whole; m += 16)
      for (int k = 0; k < 4; k++)
        acc[k] = _mm256_fmadd_pd(_mm256_loadu_pd(reversed + m + 4 * k),
                                 _mm256_loadu_pd(w + m + 4 * k), acc[k]);
    // The last taps, fewer than 16, with coefficients of 0 beyond them,
    // which add exact zeros.
    if (whole < taps) {
      double h[16] = {}, v[16] = {};
      for (int m = whole; m < taps; m++) h[m - whole] = reversed[m], v[m - whole] = w[m];
      for (int k = 0; k < 4; k++)
        acc[k] = _mm256_fmadd_pd(_mm256_loadu_pd(h + 4 * k), _mm256_loadu_pd(v + 4 * k), acc[k]);
    }
    const __m256d pairs =
        _mm256_add_pd(_mm256_add_pd(acc[0], acc[1]), _mm256_add_pd(acc[2], acc[3]));
    const __m128d half = _mm_add_pd(_mm256_castpd256_pd128(pairs), _mm256_extractf128_pd(pairs, 1));
    sums[j] = _mm_cvtsd_f64(_mm_add_sd(half, _mm_unpackhi_pd(half, half)));
  }
}

__attribute__((target("avx2,fma"))) void sums_avx2(const double *reversed, const double *x,
                                                   int taps, int n, double *sums) {
  int i = 0;
  for (; i + 24 <= n; i += 24) pass6_avx2(reversed, x + i, taps, sums + i);
  for (; i < n; i += 8) pass_avx2<2>(reversed, x + i, taps, sums + i);
}

#endif
