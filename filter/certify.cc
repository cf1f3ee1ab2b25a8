// Certification: the kernels' error bound, and the codes a bound makes certain.
//
// The bound between a kernel's double sum and the exact sum of a column:
// 1. Every sample lies in [-1, 1], so with H = sum of |h[k]| no term exceeds
//    its |h[k]| and every partial sum stays below H.
// 2. The exact sum makes at most taps roundings along any path, each of
//    relative size 2^-64 in the extended format, or 2^-53 + 2 * 2^-64 where
//    channel 2 of a stereo input rounds its running sum to double.
// 3. The double sum of a kernel is one chain of taps fused multiply-adds,
//    or of products and additions in the portable kernel, so it makes at
//    most taps + 1 roundings of 2^-53 along any path. Terms with a sample of
//    0, before the first frame or after the last, are exact and add nothing.
// 4. Both therefore lie within (taps + 1) * (1 + 2^-10) * 2^-53 * H of the
//    true sum, and within 2.002 * (taps + 1) * 2^-53 * H of each other.
//    BOUND_FACTOR takes 2.1 for 2.002: the rest covers the rounding of the
//    bound itself and of the sums and differences formed with it.
// 5. A rounding near the bottom of the double range errs by at most 2^-1074
//    absolutely, not relatively. Each of the taps + 1 steps rounds at most
//    twice in each sum, four times in all: UNDERFLOW_STEP = 2^-1070 is four
//    times that, for each step.
// 6. An output's exact sum lies within its spread, the bound plus RELATIVE
//    = 2^-51 of |s|, of its double sum s: 2^-51 covers the roundings, at most
//    2^-53 of |s| each, of the sums and differences formed with s.
// 7. The code as a function of the sum (rounding to double, clipping,
//    scaling, rint) is monotone, so the ends of that interval decide it.
//    The scaled values of the ends are off the exact ones by the scaled
//    spread, SCALED_ROUNDING (2^-50) for the rounding of the sum to double
//    and of the two scalings, and CONVERSION_SLACK (2^-30) for the roundings
//    of the width itself.
// Columns whose H is not finite, or so large that double sums could
// overflow, have no bound: the whole run takes the exact sums.
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>

#include "filter/engine.h"

namespace {

constexpr double BOUND_FACTOR = 2.1;          // step 4
constexpr double UNDERFLOW_STEP = 0x1p-1070;  // step 5
constexpr double RELATIVE = 0x1p-51;          // step 6
constexpr double SCALED_ROUNDING = 0x1p-50;   // step 7
constexpr double CONVERSION_SLACK = 0x1p-30;  // step 7

// The half-width of the interval around a double sum s that holds the exact
// sum (step 6).
double spread_of(double s, double bound) {
  return bound + std::fabs(s) * RELATIVE;
}

// Certifies one channel's sums at one output depth. An output's code and
// clip flag are certain when every value within its spread gives the same
// ones (step 7). An interval that reaches a clipping edge, or holds a point
// where the code changes, is open.
template <int BITS>
int certify_at(const double *sums, int n, double bound, double least_peak, int *codes,
               bool *clipped, int *open) {
  constexpr int top = BITS == 8 ? 255 : 32767;
  constexpr int bottom = BITS == 8 ? 0 : -32768;
  constexpr double scale = BITS == 8 ? 127.5 : 32767.5;
  // The exact magnitude is at least |s| - spread; RELATIVE of |s| more
  // covers the rounding of that difference. Outputs that can't pass the
  // largest of these, nor least_peak, can't be the peak.
  for (int i = 0; i < n; i++) {
    const double s = std::fabs(sums[i]);
    const double low = s - spread_of(s, bound) - s * RELATIVE;
    least_peak = low > least_peak ? low : least_peak;
  }
  int opened = 0;
  bool clip = false;
  for (int i = 0; i < n; i++) {
    const double s = sums[i];
    const double spread = spread_of(s, bound);
    // rint of the scaled value is the floor of the scaled value + 1/2, shifted
    // here to be positive so that truncation is the floor (step 7). t is
    // held in range where it can't matter, so that its conversion is
    // defined.
    double t = BITS == 8 ? (s + 1.0) * 127.5 + 0.5 : s * 32767.5 + 32768.0;
    t = t < -1.0 ? -1.0 : t > 70000.0 ? 70000.0 : t;
    const double width = scale * (spread + SCALED_ROUNDING) + CONVERSION_SLACK;
    const int low = static_cast<int>(t - width);
    const int high = static_cast<int>(t + width);
    int code;
    bool clips = false;
    if (s - spread > 1) {
      code = top;
      clips = true;
    } else if (s + spread < -1) {
      code = bottom;
      clips = true;
    } else if (s - spread >= -1 && s + spread <= 1 && low == high) {
      code = BITS == 8 ? low : low - 32768;
    } else {
      open[opened++] = i;
      continue;
    }
    if (std::fabs(s) + spread > least_peak) {
      open[opened++] = i;
      continue;
    }
    codes[i] = code;
    clip |= clips;
  }
  *clipped |= clip;
  return opened;
}

#ifdef __x86_64__
// The same, four outputs at a time with AVX2. The tests are those of
// certify_at, rearranged: -1 <= s - spread and s + spread <= 1 is |s| +
// spread <= 1 (the two roundings are the same up to sign), which is also the
// sum the peak test compares; the width is formed as C + |s| * K, whose
// roundings CONVERSION_SLACK covers many times over; a scaled value out of
// range converts to the same indefinite integer at both ends, but then the
// output clips, and the clip tests decide it. Lanes whose code is certain
// and that can't be the peak, nearly all of them, are written without a
// branch each.
template <int BITS>
__attribute__((target("avx2"))) int certify_avx2(const double *sums, int n, double bound,
                                                 double least_peak, int *codes, bool *clipped,
                                                 int *open) {
  constexpr double scale = BITS == 8 ? 127.5 : 32767.5;
  const __m256d magnitude_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256d bound4 = _mm256_set1_pd(bound);
  const __m256d relative = _mm256_set1_pd(RELATIVE);
  const int whole = n / 4 * 4;
  // The lower bound certify_at finds, taken for the largest |s| alone: it
  // is a lower bound of that output's exact magnitude.
  __m256d largest4 = _mm256_setzero_pd();
  for (int i = 0; i < whole; i += 4)
    largest4 = _mm256_max_pd(_mm256_and_pd(_mm256_loadu_pd(sums + i), magnitude_mask), largest4);
  double lanes[4];
  _mm256_storeu_pd(lanes, largest4);
  double largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  for (int i = whole; i < n; i++) largest = std::max(largest, std::fabs(sums[i]));
  const double low = largest - spread_of(largest, bound) - largest * RELATIVE;
  least_peak = low > least_peak ? low : least_peak;
  const __m256d least_peak4 = _mm256_set1_pd(least_peak);

  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d scale4 = _mm256_set1_pd(scale);
  const __m256d shift = _mm256_set1_pd(BITS == 8 ? 0.5 : 32768.0);
  const __m256d width_base = _mm256_set1_pd(scale * (bound + SCALED_ROUNDING) + CONVERSION_SLACK);
  const __m256d width_slope = _mm256_set1_pd(scale * RELATIVE);
  const __m128i offset = _mm_set1_epi32(BITS == 8 ? 0 : 32768);
  int opened = 0;
  bool clip = false;
  int i = 0;
  for (; i < whole; i += 4) {
    const __m256d s = _mm256_loadu_pd(sums + i);
    const __m256d size = _mm256_and_pd(s, magnitude_mask);
    const __m256d reach = _mm256_add_pd(size, _mm256_add_pd(bound4, _mm256_mul_pd(size, relative)));
    const __m256d t = BITS == 8 ? _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(s, one), scale4), shift)
                                : _mm256_add_pd(_mm256_mul_pd(s, scale4), shift);
    const __m256d width = _mm256_add_pd(width_base, _mm256_mul_pd(size, width_slope));
    const __m128i low = _mm256_cvttpd_epi32(_mm256_sub_pd(t, width));
    const __m128i high = _mm256_cvttpd_epi32(_mm256_add_pd(t, width));
    const int inside = _mm256_movemask_pd(_mm256_cmp_pd(reach, one, _CMP_LE_OQ));
    const int same = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, high)));
    const int peak = _mm256_movemask_pd(_mm256_cmp_pd(reach, least_peak4, _CMP_GT_OQ));
    if ((inside & same & ~peak) == 0xF) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(codes + i), _mm_sub_epi32(low, offset));
      continue;
    }
    // The rare lanes: clipping, open codes, peak candidates, as certify_at.
    const int rest =
        certify_at<BITS>(sums + i, 4, bound, least_peak, codes + i, &clip, open + opened);
    for (int j = 0; j < rest; j++) open[opened + j] += i;
    opened += rest;
  }
  *clipped |= clip;
  const int more =
      certify_at<BITS>(sums + i, n - i, bound, least_peak, codes + i, clipped, open + opened);
  for (int j = 0; j < more; j++) open[opened + j] += i;
  return opened + more;
}

#endif

}  // namespace

double column_bound(const double *coef, int taps) {
  extended h = 0;
  for (int k = 0; k < taps; k++) h = h + magnitude(extended(coef[k]));
  if (!(h < 0x1p1000)) return -1;
  return (taps + 1) * (BOUND_FACTOR * 0x1p-53 * static_cast<double>(h) + UNDERFLOW_STEP);
}

int certify(const double *sums, int n, double bound, int bits, double least_peak, int *codes,
            bool *clipped, int *open) {
  // The AVX2 form goes with the kernels of that level and above, so that
  // the portable level is portable throughout.
#ifdef __x86_64__
  if (simd_level() >= 1)
    return bits == 8 ? certify_avx2<8>(sums, n, bound, least_peak, codes, clipped, open)
                     : certify_avx2<16>(sums, n, bound, least_peak, codes, clipped, open);
#endif
  return bits == 8 ? certify_at<8>(sums, n, bound, least_peak, codes, clipped, open)
                   : certify_at<16>(sums, n, bound, least_peak, codes, clipped, open);
}
