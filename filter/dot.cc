// Dot products in double for the filter's fast path: AVX-512, AVX2 with FMA, or portable code.
//
// The order of the additions is free here: callers bound the result's error
// instead of reproducing it. Every kernel forms each term and partial sum
// with at most n + 1 roundings along any path to the result, the bound the
// fast path relies on.
#include <immintrin.h>

#include "filter/filter.h"

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

__attribute__((target("avx2,fma"))) double sum_lanes(__m256d s) {
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

__attribute__((target("avx512f"))) double sum_lanes(__m512d s) {
  double lane[8];
  _mm512_storeu_pd(lane, s);
  return ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
}

double dot_portable(const double *a, const double *b, int n) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; i++) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

__attribute__((target("avx2,fma"))) double dot_avx2(const double *a, const double *b, int n) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
    s1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), s1);
    s2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), s2);
    s3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), s3);
  }
  for (; i + 4 <= n; i += 4)
    s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
  double sum = sum_lanes(_mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
  for (; i < n; i++) sum = __builtin_fma(a[i], b[i], sum);
  return sum;
}

__attribute__((target("avx512f"))) double dot_avx512(const double *a, const double *b, int n) {
  __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), s0);
    s1 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 8), _mm512_loadu_pd(b + i + 8), s1);
    s2 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 16), _mm512_loadu_pd(b + i + 16), s2);
    s3 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 24), _mm512_loadu_pd(b + i + 24), s3);
  }
  for (; i + 8 <= n; i += 8)
    s0 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), s0);
  if (i < n) {
    // The last 1 to 7 terms: lanes beyond n are neither read nor added.
    const __mmask8 rest = static_cast<__mmask8>((1u << (n - i)) - 1);
    s1 = _mm512_mask3_fmadd_pd(_mm512_maskz_loadu_pd(rest, a + i),
                               _mm512_maskz_loadu_pd(rest, b + i), s1, rest);
  }
  return sum_lanes(_mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
}

void dot4_portable(const double *a, const double *b, int n, double *out) {
  for (int j = 0; j < 4; j++) out[j] = dot_portable(a, b + j, n);
}

__attribute__((target("avx2,fma"))) void dot4_avx2(const double *a, const double *b, int n,
                                                   double *out) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d h = _mm256_loadu_pd(a + i);
    s0 = _mm256_fmadd_pd(h, _mm256_loadu_pd(b + i), s0);
    s1 = _mm256_fmadd_pd(h, _mm256_loadu_pd(b + i + 1), s1);
    s2 = _mm256_fmadd_pd(h, _mm256_loadu_pd(b + i + 2), s2);
    s3 = _mm256_fmadd_pd(h, _mm256_loadu_pd(b + i + 3), s3);
  }
  out[0] = sum_lanes(s0);
  out[1] = sum_lanes(s1);
  out[2] = sum_lanes(s2);
  out[3] = sum_lanes(s3);
  for (; i < n; i++)
    for (int j = 0; j < 4; j++) out[j] = __builtin_fma(a[i], b[i + j], out[j]);
}

__attribute__((target("avx512f"))) void dot4_avx512(const double *a, const double *b, int n,
                                                    double *out) {
  __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d h = _mm512_loadu_pd(a + i);
    s0 = _mm512_fmadd_pd(h, _mm512_loadu_pd(b + i), s0);
    s1 = _mm512_fmadd_pd(h, _mm512_loadu_pd(b + i + 1), s1);
    s2 = _mm512_fmadd_pd(h, _mm512_loadu_pd(b + i + 2), s2);
    s3 = _mm512_fmadd_pd(h, _mm512_loadu_pd(b + i + 3), s3);
  }
  if (i < n) {
    const __mmask8 rest = static_cast<__mmask8>((1u << (n - i)) - 1);
    const __m512d h = _mm512_maskz_loadu_pd(rest, a + i);
    s0 = _mm512_fmadd_pd(h, _mm512_maskz_loadu_pd(rest, b + i), s0);
    s1 = _mm512_fmadd_pd(h, _mm512_maskz_loadu_pd(rest, b + i + 1), s1);
    s2 = _mm512_fmadd_pd(h, _mm512_maskz_loadu_pd(rest, b + i + 2), s2);
    s3 = _mm512_fmadd_pd(h, _mm512_maskz_loadu_pd(rest, b + i + 3), s3);
  }
  out[0] = sum_lanes(s0);
  out[1] = sum_lanes(s1);
  out[2] = sum_lanes(s2);
  out[3] = sum_lanes(s3);
}

}  // namespace

void dot4(const double *a, const double *b, int n, double *out) {
  switch (level) {
    case avx512:
      return dot4_avx512(a, b, n, out);
    case avx2:
      return dot4_avx2(a, b, n, out);
    default:
      return dot4_portable(a, b, n, out);
  }
}

double dot(const double *a, const double *b, int n) {
  switch (level) {
    case avx512:
      return dot_avx512(a, b, n);
    case avx2:
      return dot_avx2(a, b, n);
    default:
      return dot_portable(a, b, n);
  }
}

int simd_level(int wanted) {
  level = wanted < best ? wanted : best;
  return level;
}
