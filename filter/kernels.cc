// The double sums of the fast path: register-blocked AVX-512, AVX2 with FMA, or portable kernels.
//
// Output i of a block is the sum of reversed[m] * x[i + m], m = 0 to taps - 1:
// the coefficients run oldest first along a window of the input. A kernel
// pass keeps R vectors of neighbouring outputs in registers and, for each
// tap, broadcasts the coefficient once and adds its product with R loaded
// windows, so that R independent chains hide the latency of the fused
// multiply-add and each coefficient load serves R * lanes outputs. Every
// output is one chain over m in order: at most taps roundings with fused
// multiply-adds, taps + 1 in the portable kernel, which rounds its products.
#include <immintrin.h>

#include "filter/engine.h"

namespace {

enum simd { portable, avx2, avx512 };

int detect() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return avx512;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2;
  return portable;
}

const int best = detect();
int level = best;

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

__attribute__((target("avx2,fma"))) void sums_avx2(const double *reversed, const double *x,
                                                   int taps, int n, double *sums) {
  int i = 0;
  for (; i + 24 <= n; i += 24) pass6_avx2(reversed, x + i, taps, sums + i);
  for (; i < n; i += 8) pass_avx2<2>(reversed, x + i, taps, sums + i);
}

// R vectors of 8 outputs.
template <int R>
__attribute__((target("avx512f"), always_inline)) inline void pass_avx512(const double *reversed,
                                                                          const double *x, int taps,
                                                                          double *sums) {
  __m512d acc[R];
  for (int j = 0; j < R; j++) acc[j] = _mm512_setzero_pd();
  for (int m = 0; m < taps; m++) {
    const __m512d h = _mm512_set1_pd(reversed[m]);
    for (int j = 0; j < R; j++) acc[j] = _mm512_fmadd_pd(h, _mm512_loadu_pd(x + m + 8 * j), acc[j]);
  }
  for (int j = 0; j < R; j++) _mm512_storeu_pd(sums + 8 * j, acc[j]);
}

__attribute__((target("avx512f"))) void sums_avx512(const double *reversed, const double *x,
                                                    int taps, int n, double *sums) {
  int i = 0;
  for (; i + 128 <= n; i += 128) pass_avx512<16>(reversed, x + i, taps, sums + i);
  for (; i < n; i += 8) pass_avx512<1>(reversed, x + i, taps, sums + i);
}

}  // namespace

void block_sums(const double *reversed, const double *x, int taps, int n, double *sums) {
  switch (level) {
    case avx512:
      return sums_avx512(reversed, x, taps, n, sums);
    case avx2:
      return sums_avx2(reversed, x, taps, n, sums);
    default:
      return sums_portable(reversed, x, taps, n, sums);
  }
}

int simd_level() {
  return level;
}

int set_simd_level(int wanted) {
  level = wanted < best ? wanted : best;
  return level;
}
