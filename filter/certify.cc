// Certification: the kernels' error bound, and the codes a bound makes certain.
//
// The bound between a kernel's double sum and the exact sum of a column:
// 1. Every sample of a block lies in [-X, X], X its scale: 1 for samples
//    of integer codes, the largest magnitude of a float input's block if
//    that is more. With H = sum of |h[k]|, no term exceeds X |h[k]| and
//    every partial sum stays below X H; below, H stands for X H.
// 2. The exact sum makes at most taps roundings along any path, each of
//    relative size 2^-64 in the extended format, or 2^-53 + 2 * 2^-64 where
//    channel 2 of a stereo input rounds its running sum to double.
// 3. The double sum of a kernel is one chain of taps fused multiply-adds,
//    or of products and additions in the portable kernel, so it makes at
//    most taps + 1 roundings of 2^-53 along any path; a sum of one output
//    alone adds its products in a tree of chains whose paths are no
//    longer. Terms with a sample of
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
//    and of the two scalings, and the slack for the roundings of the
//    width, of the scaled value and of the ends formed with it: at most a
//    few roundings of 2^-53 of values below 4 times the scale, which
//    2^-46 of the scale covers, and never less than CONVERSION_SLACK
//    (2^-30), many times what 8 and 16 bits need.
//    A float's code, its bits, is the nearest float to the double of the
//    sum: rounding to double and then to the float are monotone too, and
//    the ends, formed within the spread (step 6), decide it. A float
//    never clips.
// Columns whose H is not finite, or so large that double sums could
// overflow, have no bound: the whole run takes the exact sums. A column
// whose H is 0, all its taps zero, has a bound of 0: every product and sum
// of it is exactly zero on any path, and every output's code is that of 0.
//
// Whether an output needs its exact sum for the peak line:
// 8. The line prints P = the peak (the largest exact magnitude, rounded to
//    double) times 100 in the extended format, rounded to double, with
//    %.0f: each step is monotone, so printed(m), the whole percent shown
//    for a magnitude m, is a monotone step function of m.
// 9. The run's peak is the largest magnitude over the outputs that took the
//    exact sum. The output with the largest |s| of a call has an exact
//    magnitude at least the lower bound |s| - spread of every output of the
//    call; where that bound passes the peak known from exact sums before,
//    that output takes the exact sum. So least_peak, the larger of the two,
//    is at most the run's final peak.
// 10. An output whose interval's top, |s| + spread, lies below T, the least
//    double whose printed percent exceeds printed(least_peak), has an exact
//    magnitude m whose double is below T too (rounding is monotone), so
//    printed(m) <= printed(least_peak) <= printed(the final peak): it can't
//    change the line, and needs no exact sum for it. The other outputs,
//    those that could print a higher percent, take the exact sum. This
//    leaves ties for the peak, such as a constant input or an all-zero
//    column, to the double sums.
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "filter/engine.h"
#include "wav/wav.h"

namespace {

constexpr double BOUND_FACTOR = 2.1;          // step 4
constexpr double UNDERFLOW_STEP = 0x1p-1070;  // step 5
constexpr double RELATIVE = 0x1p-51;          // step 6
constexpr double SCALED_ROUNDING = 0x1p-50;   // step 7
constexpr double CONVERSION_SLACK = 0x1p-30;  // step 7
constexpr double SCALE_SLACK = 0x1p-46;       // step 7

// The half-width of the interval around a double sum s that holds the exact
// sum (step 6).
double spread_of(double s, double bound) {
  return bound + std::fabs(s) * RELATIVE;
}

// The slack of step 7 for a depth's scaled values.
double width_slack(const sample_depth &d) {
  return std::max(CONVERSION_SLACK, SCALE_SLACK * d.half);
}

// Certifies one channel's sums at a float depth: an output's code is
// certain when both ends of its interval give the same float (step 7).
int certify_float(const double *sums, int n, double bound, const sample_depth &d,
                  double next_percent, int32_t *codes, int *open) {
  int opened = 0;
  for (int i = 0; i < n; i++) {
    const double s = sums[i];
    const double spread = spread_of(s, bound);
    bool clipped = false;
    const int64_t low = sample_code(s - spread, d, &clipped);
    const int64_t high = sample_code(s + spread, d, &clipped);
    if (!(s - spread <= s + spread) || low != high || std::fabs(s) + spread >= next_percent) {
      open[opened++] = i;
      continue;
    }
    codes[i] = static_cast<int32_t>(low);
  }
  return opened;
}

// Certifies one channel's sums at one output depth. An output's code and
// clip flag are certain when every value within its spread gives the same
// ones (step 7). An interval that reaches a clipping edge, or holds a point
// where the code changes, is open.
int certify_at(const double *sums, int n, double bound, const sample_depth &d, double next_percent,
               int32_t *codes, bool *clipped, int *open) {
  // rint of the scaled value is the floor of the scaled value + 1/2, shifted
  // here to be positive so that truncation is the floor (step 7): by 1/2
  // more for offset-binary codes, whose scaled value is already positive,
  // by -bottom for the others. t is held in range where it can't matter,
  // above the last code, so that its conversion is defined.
  const double shift = d.offset_binary ? 0.5 : static_cast<double>(-d.bottom);
  const double most = static_cast<double>(d.top - d.bottom) + 2;
  const double slack = width_slack(d);
  int opened = 0;
  bool clip = false;
  for (int i = 0; i < n; i++) {
    const double s = sums[i];
    const double spread = spread_of(s, bound);
    double t = d.offset_binary ? (s + 1.0) * d.half + shift : s * d.half + shift;
    t = t < -1.0 ? -1.0 : t > most ? most : t;
    const double width = d.half * (spread + SCALED_ROUNDING) + slack;
    const int64_t low = static_cast<int64_t>(t - width);
    const int64_t high = static_cast<int64_t>(t + width);
    int64_t code;
    bool clips = false;
    if (s - spread > 1) {
      code = d.top;
      clips = true;
    } else if (s + spread < -1) {
      code = d.bottom;
      clips = true;
    } else if (s - spread >= -1 && s + spread <= 1 && low == high) {
      code = low + d.bottom;
    } else {
      open[opened++] = i;
      continue;
    }
    if (std::fabs(s) + spread >= next_percent) {
      open[opened++] = i;
      continue;
    }
    codes[i] = static_cast<int32_t>(code);
    clip |= clips;
  }
  *clipped |= clip;
  return opened;
}

#ifdef __x86_64__
// The largest |s| of the first n / 4 * 4 sums.
__attribute__((target("avx2"))) double largest_avx2(const double *sums, int n) {
  const __m256d magnitude_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  __m256d largest4 = _mm256_setzero_pd();
  for (int i = 0; i + 4 <= n; i += 4)
    largest4 = _mm256_max_pd(_mm256_and_pd(_mm256_loadu_pd(sums + i), magnitude_mask), largest4);
  double lanes[4];
  _mm256_storeu_pd(lanes, largest4);
  return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
}

// The same, four outputs at a time with AVX2. The tests are those of
// certify_at, rearranged: -1 <= s - spread and s + spread <= 1 is |s| +
// spread <= 1 (the two roundings are the same up to sign), which is also the
// sum the peak test compares; the width is formed as C + |s| * K, whose
// roundings CONVERSION_SLACK covers many times over; a scaled value out of
// range converts to the same indefinite integer at both ends, but then the
// output clips, and the clip tests decide it. Lanes whose code is certain
// and that can't be the peak, nearly all of them, are written without a
// branch each.
template <bool OFFSET_BINARY>
__attribute__((target("avx2"))) int certify_avx2(const double *sums, int n, double bound,
                                                 const sample_depth &d, double next_percent,
                                                 int32_t *codes, bool *clipped, int *open) {
  const double scale = d.half;
  const __m256d magnitude_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256d bound4 = _mm256_set1_pd(bound);
  const __m256d relative = _mm256_set1_pd(RELATIVE);
  const int whole = n / 4 * 4;
  const __m256d next_percent4 = _mm256_set1_pd(next_percent);

  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d scale4 = _mm256_set1_pd(scale);
  const __m256d shift = _mm256_set1_pd(OFFSET_BINARY ? 0.5 : static_cast<double>(-d.bottom));
  const __m256d width_base = _mm256_set1_pd(scale * (bound + SCALED_ROUNDING) + width_slack(d));
  const __m256d width_slope = _mm256_set1_pd(scale * RELATIVE);
  const __m128i offset = _mm_set1_epi32(static_cast<int>(-d.bottom));
  int opened = 0;
  bool clip = false;
  int i = 0;
  for (; i < whole; i += 4) {
    const __m256d s = _mm256_loadu_pd(sums + i);
    const __m256d size = _mm256_and_pd(s, magnitude_mask);
    const __m256d reach = _mm256_add_pd(size, _mm256_add_pd(bound4, _mm256_mul_pd(size, relative)));
    const __m256d t = OFFSET_BINARY
                          ? _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(s, one), scale4), shift)
                          : _mm256_add_pd(_mm256_mul_pd(s, scale4), shift);
    const __m256d width = _mm256_add_pd(width_base, _mm256_mul_pd(size, width_slope));
    const __m128i low = _mm256_cvttpd_epi32(_mm256_sub_pd(t, width));
    const __m128i high = _mm256_cvttpd_epi32(_mm256_add_pd(t, width));
    const int inside = _mm256_movemask_pd(_mm256_cmp_pd(reach, one, _CMP_LE_OQ));
    const int same = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, high)));
    const int peak = _mm256_movemask_pd(_mm256_cmp_pd(reach, next_percent4, _CMP_GE_OQ));
    if ((inside & same & ~peak) == 0xF) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(codes + i), _mm_sub_epi32(low, offset));
      continue;
    }
    // The rare lanes: clipping, open codes, peak candidates, as certify_at.
    const int rest =
        certify_at(sums + i, 4, bound, d, next_percent, codes + i, &clip, open + opened);
    for (int j = 0; j < rest; j++) open[opened + j] += i;
    opened += rest;
  }
  *clipped |= clip;
  const int more =
      certify_at(sums + i, n - i, bound, d, next_percent, codes + i, clipped, open + opened);
  for (int j = 0; j < more; j++) open[opened + j] += i;
  return opened + more;
}

#endif

// The whole percent the peak line shows for a peak of m (step 8).
double printed_percent(double m) {
  return std::rint(static_cast<double>(extended(m) * 100));
}

// The least double whose printed percent exceeds that of m (step 10). It
// lies within a few doubles of (shown + 1/2) / 100, which doubles order as
// their bits do: from there, down while the double below still shows more,
// up while this one doesn't. The last answer is kept, since the percent
// shown changes only as the peak grows.
double next_percent_above(double m) {
  thread_local double last_shown = -1;
  thread_local double last_threshold = 0;
  const double shown = printed_percent(m);
  if (shown == last_shown) return last_threshold;
  if (!(printed_percent(HUGE_VAL) > shown)) return HUGE_VAL;
  double x = std::max(m, (shown + 0.5) / 100);
  while (x > m && printed_percent(std::nextafter(x, 0.0)) > shown) x = std::nextafter(x, 0.0);
  while (!(printed_percent(x) > shown)) x = std::nextafter(x, HUGE_VAL);
  last_shown = shown;
  last_threshold = x;
  return x;
}

// The largest |s| of n sums, four at a time where the level has AVX2.
double largest_magnitude(const double *sums, int n) {
  double largest = 0;
  int i = 0;
#ifdef __x86_64__
  if (avx2_codecs(kernel_level_in_use())) {
    largest = largest_avx2(sums, n);
    i = n / 4 * 4;
  }
#endif
  for (; i < n; i++) largest = std::max(largest, std::fabs(sums[i]));
  return largest;
}

}  // namespace

double column_bound(const double *coef, int taps) {
  extended h = 0;
  for (int k = 0; k < taps; k++) h = h + magnitude(extended(coef[k]));
  if (!(h < 0x1p1000)) return -1;
  if (!(h > 0)) return 0;
  return kernel_bound(static_cast<double>(h), taps, 1);
}

double kernel_bound(double h, int taps, double scale) {
  return (taps + 1) * (BOUND_FACTOR * 0x1p-53 * h * scale + UNDERFLOW_STEP);
}

int certify(const double *sums, int n, double bound, const sample_depth &depth, double least_peak,
            int32_t *codes, bool *clipped, int *open) {
  if (n == 0) return 0;
  // Step 9: the output with the largest |s|, whose exact magnitude is at
  // least the lower bound of every output here; RELATIVE of |s| more
  // covers the rounding of that difference.
  const double largest = largest_magnitude(sums, n);
  const double low = largest - spread_of(largest, bound) - largest * RELATIVE;
  const bool largest_raises = low > least_peak;
  const double next_percent = next_percent_above(std::max(least_peak, low));
  // The AVX2 form converts scaled values to 32-bit integers: for codes of
  // up to 24 bits.
  int opened;
  if (depth.floating) {
    opened = certify_float(sums, n, bound, depth, next_percent, codes, open);
#ifdef __x86_64__
  } else if (avx2_codecs(kernel_level_in_use()) && depth.bits <= 24) {
    opened = depth.offset_binary
                 ? certify_avx2<true>(sums, n, bound, depth, next_percent, codes, clipped, open)
                 : certify_avx2<false>(sums, n, bound, depth, next_percent, codes, clipped, open);
#endif
  } else {
    opened = certify_at(sums, n, bound, depth, next_percent, codes, clipped, open);
  }
  if (largest_raises) {
    int largest_at = 0;
    while (std::fabs(sums[largest_at]) != largest) largest_at++;
    if (std::find(open, open + opened, largest_at) == open + opened) open[opened++] = largest_at;
  }
  return opened;
}
