// The transform: double sums of a block by overlap-save with real FFTs, and their error bound.
//
// A window is L = 2^t samples x of one input channel. Its circular
// convolution with a column of B taps, zero-padded to L, equals the window
// sum of every output from B - 1 on. Up to 4096 taps the column is one part,
// B = taps, L at least 4 taps, and a segment yields L - taps + 1 outputs;
// longer columns are P parts of B = L / 2 taps (the last padded with zero
// weights), a segment yields B outputs, and part p's window for a segment
// lies p * B samples before part 0's: a block's windows, a segment apart,
// serve every part, each transformed once, and a segment's products with
// each part's spectrum are summed before one inverse transform.
// G_p = F(h_p / L), F the unnormalised DFT, is computed once per run in long
// double and rounded to double; a segment's sums are then
// y^ = F*(sum over p of F(x_p) . G^_p). The bound on |y^ - y|, for the true
// sums y of the same doubles, every output of the segment alike, is a sum
// over the parts of the same terms; for one part:
//
// 1. The FFT's own error (Higham, Accuracy and Stability of Numerical
//    Algorithms, 2nd ed., section 24.1): with u = 2^-53, gamma_k = k u /
//    (1 - k u), twiddles within u of the true ones and eta = u + gamma_4
//    (sqrt 2 + u), each of the t butterfly stages errs by at most eta
//    relative to the magnitudes it combines, so a computed transform of
//    size 2^t is within eps_L = t eta / (1 - t eta) of the true one in the
//    Euclidean norm relative to the true one's norm (Theorem 24.2).
//    Parseval: |F v| = sqrt(L) |v|, and |v|max <= |v|.
// 2. Four parts make up y^ - y, each bounded through |a . b| <= |a|max |b|:
//    the inverse transform's rounding, at most eps_L sqrt(L) |P^| with P^
//    the products; the products' rounding, sqrt 2 gamma_2 |X^_k| |G^_k| each
//    (no fused multiply-add: they are formed as written), at most sqrt(L)
//    sqrt 2 gamma_2 |G^|max |X^|; the forward transform's error carried by
//    G^, sqrt(L) |G^|max eps_L |X|; and the spectrum's own error carried by X,
//    sqrt(L) |G^ - G|max |X|. With |X| = sqrt(L) |x| and |X^|, |P^| within
//    (1 + eps_L)(1 + sqrt 2 gamma_2) of their true sizes (the factor
//    SECOND_ORDER covers this):
//        |y^ - y| <= |x| (L |G^|max (2 eps_L + sqrt 2 gamma_2) + L |G^ - G|max).
//    With P parts the products are summed, bin by bin, P - 1 additions:
//    gamma_(P-1) of the sum of their magnitudes more, part by part, and
//    every term is part p's, with its window's |x_p|:
//        |y^ - y| <= sum over p of |x_p| (L |G^_p|max (2 eps_L + sqrt 2
//                    gamma_2 + gamma_(P-1)) + L |G^_p - G_p|max).
// 3. G^ is Gl, the transform of h / L (the scaling is by a power of two,
//    exact) computed in long double by a plain radix-2 transform of our own
//    (long_transform), rounded to double, each part within u of Gl's: so
//    |G^ - G|max <= u |G^|max (1 + u) + |Gl - G|max. Step 1 holds for that
//    transform as proven, with twiddles within mu = 2^-58 and long double's
//    unit roundoff ul (2^-64 for the x87's format, less for others) in eta:
//    |Gl - G|max <= |Gl - G| <= eps_L(mu, ul) |G| = eps_L(mu, ul) |h| /
//    sqrt(L) <= eps_L(mu, ul) H / sqrt(L), with H the sum of the |h[k]| of
//    the part. So
//    L |G^ - G|max <= u L |G^|max + eps_L(mu, ul) sqrt(L) H: a rounding, and
//    at L = 2^14 2^-47.1 H, where the double transform's componentwise
//    error was taken as 2^-46.5 H. Two parts, of one column or of both,
//    share a transform as its real and imaginary parts: the pair's error is
//    within eps_L(mu, ul) of that transform's norm, at most sqrt(L) (|h_p|
//    + |h_q|) / L, and telling the two apart by symmetry halves a sum of two
//    of its values, one more rounding of ul of the part's own: so H there is
//    the pair's, H_p + H_q, and its factor eps_L(mu, ul) + ul. |G^|max is
//    taken with hypot: squares of a filter below about 1e-155 would
//    underflow.
// 4. |x| is the window's own Euclidean norm, summed in double and rounded
//    up by its relative error, (L + 4) 2^-52 at most.
// 5. Theorem 24.2 is proven for the radix-2 transform of complex data,
//    which step 3's is. The library's plans of steps 1 and 2 use other
//    radices and pack pairs of real values into complex transforms, which
//    round in other patterns with constants of the same order, so steps 1
//    to 3 are multiplied by SAFETY = 2^8; steps 11 and 8 to 10 check that
//    premise on the run's own plans.
// 6. The exact sum is not y either. Every partial sum is below X H, X the
//    block's scale (certify.cc, step 1), taken as H below; the
//    extended chain rounds each product and each addition by at most 2^-64
//    relative, (taps + 1) 2^-64 H in all, H now the whole column's; the
//    chain of channel 2 of a stereo
//    input rounds each addition to double as well, (taps (2^-53 + 2^-63) +
//    2^-64) H; 2^-10 of either more covers second-order terms.
// 7. Roundings that underflow err by at most 2^-1075 absolutely. The
//    transform is used only for columns with H below 2^100 (others take the
//    kernels), so fewer than 2^30 such roundings (L up to 2^16, 32 parts),
//    none amplified by more than 2^117 on the way to an output, stay below
//    UNDERFLOW = 2^-900.
// A segment's spread is SAFETY (steps 1 to 3) + step 6 + step 7, computed
// with upward slack; certification adds the rounding of the sums formed
// with it. On the worst family of inputs known (single impulses through
// noise, sinc and box columns) the errors measured stay below 2^-8.8 of
// steps 1 to 3 alone.
//
// Every block checks the premise (block.cc), with the kernels' double sums
// of a few outputs:
// 8. A transform within steps 1 to 3, without the safety factor, has its
//    sum s_t within T = (spread - steps 6 and 7) / SAFETY of the true sum y.
// 9. The kernels' sum s_k of the same output lies within the column's bound
//    K of y (certify.cc, step 4).
// 10. So |s_t - s_k| <= T + K, formed in double within 2^-51 of the larger
//    sum. A larger difference proves the transform beyond T, 2^8 below the
//    spread certification relies on: the run leaves the transform before a
//    wrong code could be certified, and a sound transform, at most 2^-5.7 T
//    off, never trips it.
// 11. Before the first block, the run's own plans and spectra transform a
//    segment of impulses, one a part apart, whose true sums are a tap of
//    each part, and a segment of ones, whose true sums are the column's
//    sum (each within step 6 as summed here). An output further from them
//    than steps 1 to 3 without the safety factor allow, plus the
//    comparison's rounding, fails the transform, and the run takes the
//    kernels from its first block.
#include <fftw3.h>
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/report.h"
#include "filter/engine.h"

namespace {

constexpr double U = 0x1p-53;
constexpr double SAFETY = 0x1p8;
constexpr double SECOND_ORDER = 1 + 1e-6;
constexpr double CHAIN_SLACK = 1 + 0x1p-10;
constexpr double UNDERFLOW = 0x1p-900;
constexpr double LARGEST_H = 0x1p100;
constexpr size_t PLANNER_BASE = 1 << 20;
constexpr size_t PLANNER_BYTES = 256;
constexpr size_t HELPER_STACK = size_t{1} << 16;
// A column of more taps than this is transformed in parts.
constexpr int WHOLE_COLUMN = 4096;
// The output frames a block of a column in parts holds at most. Its
// segments share the windows of the parts and make up for the windows its
// history takes again; its buffers, each page of which costs as it is
// first touched, grow with them.
constexpr int PARTS_BLOCK = 1 << 17;
// The segments of such a block, at most: more, of short parts, gained
// nothing for their memory.
constexpr int BLOCK_SEGMENTS = 32;

// Step 1: eps_L for a transform of fft_size 2^t with unit roundoff u.
double fft_error(int t, double u) {
  const double gamma4 = 4 * u / (1 - 4 * u);
  const double eta = u + gamma4 * (std::sqrt(2.0) + u);
  return t * eta / (1 - t * eta);
}

// Step 3: eps_L(mu, ul) of long_transform, with twiddles within mu = 2^-58
// of the true ones (step 1's u in eta's first term) and long double's unit
// roundoff ul, at most 2^-64, in its others.
double long_fft_error(int t) {
  const double ul = std::numeric_limits<long double>::epsilon() / 2, mu = 0x1p-58;
  const double gamma4 = 4 * ul / (1 - 4 * ul);
  const double eta = mu + gamma4 * (std::sqrt(2.0) + mu);
  return t * eta / (1 - t * eta);
}

transform_hooks hooks;

// Gives back the size's plans and buffers; the state then has no size.
void release_size(transform_state &ts) {
  unmap_pages(ts.pages);
  if (ts.forward != nullptr) fftw_destroy_plan(ts.forward);
  if (ts.inverse != nullptr) fftw_destroy_plan(ts.inverse);
  ts = {};
}

// FFTW's aligned allocations, checked as every allocation of the run is.
template <typename T>
T *checked(T *buffer) {
  if (buffer == nullptr) out_of_memory();
  return buffer;
}

// A slot's scratch. A whole column's products are summed and transformed
// back a channel at a time, in one buffer for both.
transform_scratch make_scratch(const transform_state &ts, page_map &pages) {
  const size_t n = static_cast<size_t>(ts.size), half = n / 2 + 1;
  const size_t products = static_cast<size_t>(ts.live * ts.stride);
  const size_t windows = static_cast<size_t>(ts.block_segments + ts.parts - 1);
  transform_scratch s{};
  s.in = carve<double>(pages, n);
  s.spectrum = carve<fftw_complex>(pages, half);
  s.products[0] = carve<fftw_complex>(pages, products);
  s.products[1] = ts.parts == 1 ? s.products[0] : carve<fftw_complex>(pages, products);
  s.out = carve<double>(pages, n);
  for (double *&norms : s.norms) norms = carve<double>(pages, windows);
  return s;
}

// A complex value in long double, multiplied as written.
struct long_complex {
  long double re, im;
};

long_complex times(long_complex a, long_complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// The long double transform's work: the values transformed, the twiddles
// and the two tables they are made from, and the self-test's window and
// sums, of window samples; for a transform of size 2^t, carved from pages.
struct long_work {
  long_complex *a, *fine, *coarse, *w, *stages;
  double *window, *sums[2];
};

long_work carve_work(page_map &pages, int t, int window) {
  const size_t n = size_t{1} << t, step = size_t{1} << (t / 2);
  return {carve<long_complex>(pages, n),
          carve<long_complex>(pages, step),
          carve<long_complex>(pages, n / step),
          carve<long_complex>(pages, n / 2),
          carve<long_complex>(pages, n),
          carve<double>(pages, static_cast<size_t>(window)),
          {carve<double>(pages, n), carve<double>(pages, n)}};
}

// The twiddles w^k = exp(-2 pi i k / L), L = 2^t, k below L / 2: products
// of two tables of about sqrt(L) values each, every value from sinl and cosl
// of an angle rounded twice: within 2^-58 of the true ones.
void make_twiddles(const long_work &work, int t) {
  const size_t n = size_t{1} << t, step = size_t{1} << (t / 2);
  const long double turn =
      -2 * 3.14159265358979323846264338327950288L / static_cast<long double>(n);
  for (size_t k = 0; k < step; k++) work.fine[k] = {std::cos(turn * k), std::sin(turn * k)};
  for (size_t k = 0; k < n / step; k++)
    work.coarse[k] = {std::cos(turn * (k * step)), std::sin(turn * (k * step))};
  for (size_t k = 0; k < n / 2; k++) work.w[k] = times(work.coarse[k / step], work.fine[k % step]);
  // Each stage's twiddles in the order it takes them: the stage of
  // butterflies half apart takes w^(k n / 2 half), k below half, from
  // stages + half - 1 on.
  for (size_t half = 1; half < n; half <<= 1)
    for (size_t k = 0; k < half; k++) work.stages[half - 1 + k] = work.w[k * (n / (2 * half))];
}

// The transform of work.a in place, its size L = 2^t, with the twiddles
// made: plain radix-2 decimation in time, whose error step 3 takes from
// step 1.
void long_transform(const long_work &work, int t) {
  long_complex *a = work.a;
  const size_t n = size_t{1} << t;
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t half = 1; half < n; half <<= 1) {
    const long_complex *w = work.stages + half - 1;
    for (size_t start = 0; start < n; start += 2 * half)
      for (size_t k = 0; k < half; k++) {
        const long_complex u = a[start + k];
        const long_complex v = times(a[start + k + half], w[k]);
        a[start + k] = {u.re + v.re, u.im + v.im};
        a[start + k + half] = {u.re - v.re, u.im - v.im};
      }
  }
}

// What make_spectra needs: the plan and the work.
struct spectra_job {
  run_plan *plan;
  long_work work;
};

// The column and part of the spectra's item i: the parts of the first
// column, then those of the second when it has its own.
void item_of(const transform_state &ts, int i, int *c, int *p) {
  *c = i / ts.parts;
  *p = i % ts.parts;
}

// The spectra are made two at a time: item i's as the real part of one
// complex transform, item i + 1's as its imaginary part (step 3).
int partner_of(const transform_state &ts, int i) {
  const int partner = i ^ 1;
  return partner < ts.columns * ts.parts ? partner : -1;
}

// Puts item i's taps, divided by L, into the real or the imaginary parts
// of a.
void put_taps(const run_plan &plan, int i, long_complex *a, bool imaginary) {
  const transform_state &ts = plan.transform;
  int c, p;
  item_of(ts, i, &c, &p);
  const int first = p * ts.part, last = std::min(plan.taps, first + ts.part);
  for (int k = first; k < last; k++) {
    const long double v = static_cast<long double>(plan.coef[c][k]) / ts.size;
    (imaginary ? a[k - first].im : a[k - first].re) = v;
  }
}

// G^_p of each column's part p: the transform of h_p / L in long double,
// rounded to double (step 3); |G^_p|max of each, rounded up. Two parts go
// through one transform, as its real and imaginary parts, and are told
// apart by symmetry: the real part's spectrum is (Z[k] + conj Z[L - k]) /
// 2, the imaginary part's (Z[k] - conj Z[L - k]) / 2i. hypot keeps the
// magnitudes of a filter far below 1 from underflowing, as their squares
// would. It allocates nothing, so that it may run on a thread of its own.
void *make_spectra(void *arg) {
  spectra_job &job = *static_cast<spectra_job *>(arg);
  const run_plan &plan = *job.plan;
  const transform_state &ts = plan.transform;
  const int size = ts.size, half = size / 2 + 1;
  long_complex *a = job.work.a;
  make_twiddles(job.work, ts.log2_size);
  for (int i = 0; i < ts.columns * ts.parts; i += 2) {
    const int partner = partner_of(ts, i);
    std::fill_n(a, size, long_complex{0, 0});
    put_taps(plan, i, a, false);
    if (partner >= 0) put_taps(plan, partner, a, true);
    long_transform(job.work, ts.log2_size);
    for (const int item : {i, partner}) {
      if (item < 0) continue;
      int c, p;
      item_of(ts, item, &c, &p);
      fftw_complex *g = ts.spectra[c] + p * ts.stride;
      double top = 0;
      for (int k = 0; k < half; k++) {
        const long_complex z = a[k], mirror = a[(size - k) % size];
        const long double re = item == i ? (z.re + mirror.re) / 2 : (z.im + mirror.im) / 2;
        const long double im = item == i ? (z.im - mirror.im) / 2 : (mirror.re - z.re) / 2;
        const double g_re = static_cast<double>(re), g_im = static_cast<double>(im);
        g[k][0] = g_re + hooks.spectrum_error * g_re;
        g[k][1] = g_im + hooks.spectrum_error * g_im;
        top = std::max(top, std::hypot(g[k][0], g[k][1]));
      }
      ts.largest[c][p] = top * (1 + 0x1p-51) + 0x1p-1070;
    }
  }
  // A column equal to the one before shares its spectra and their sizes.
  for (int c = ts.columns; c < plan.outputs; c++)
    std::copy_n(ts.largest[c - 1], ts.parts, ts.largest[c]);
  return nullptr;
}

// Adds the complex products of a window's spectrum with a part's to sums,
// each product formed as written, (ac - bd, ad + bc), and then added.
void add_products_portable(const fftw_complex *x, const fftw_complex *g, fftw_complex *sums,
                           int from, int half) {
  for (int k = from; k < half; k++) {
    const double a = x[k][0], b = x[k][1], c = g[k][0], d = g[k][1];
    const double re = a * c - b * d, im = a * d + b * c;
    sums[k][0] += re;
    sums[k][1] += im;
  }
}

#ifdef __x86_64__
// The same, two bins at a time with AVX: each lane forms the same products,
// differences, sums and additions, rounded as the portable loop rounds them.
__attribute__((target("avx"))) void add_products_avx(const fftw_complex *x, const fftw_complex *g,
                                                     fftw_complex *sums, int half) {
  int k = 0;
  for (; k + 2 <= half; k += 2) {
    const __m256d xs = _mm256_loadu_pd(x[k]), gs = _mm256_loadu_pd(g[k]);
    const __m256d real = _mm256_movedup_pd(xs), imaginary = _mm256_permute_pd(xs, 0xF);
    const __m256d swapped = _mm256_permute_pd(gs, 0x5);
    const __m256d products =
        _mm256_addsub_pd(_mm256_mul_pd(real, gs), _mm256_mul_pd(imaginary, swapped));
    _mm256_storeu_pd(sums[k], _mm256_add_pd(_mm256_loadu_pd(sums[k]), products));
  }
  add_products_portable(x, g, sums, k, half);
}

// The same, four bins at a time with AVX-512, which has no alternating
// subtraction and addition: ac - bd is formed as ac + (-bd), the same
// value, the sign of the even lanes of the second products flipped.
__attribute__((target("avx512f"))) void add_products_avx512(const fftw_complex *x,
                                                            const fftw_complex *g,
                                                            fftw_complex *sums, int half) {
  const __m512i even_signs =
      _mm512_set_epi64(0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN);
  int k = 0;
  for (; k + 4 <= half; k += 4) {
    const __m512d xs = _mm512_loadu_pd(x[k]), gs = _mm512_loadu_pd(g[k]);
    const __m512d real = _mm512_maskz_unpacklo_pd(0xFF, xs, xs);
    const __m512d imaginary = _mm512_maskz_unpackhi_pd(0xFF, xs, xs);
    const __m512d swapped = _mm512_shuffle_pd(gs, gs, 0x55);
    const __m512d crossed = _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(_mm512_mul_pd(imaginary, swapped)), even_signs));
    const __m512d products = _mm512_add_pd(_mm512_mul_pd(real, gs), crossed);
    _mm512_storeu_pd(sums[k], _mm512_add_pd(_mm512_loadu_pd(sums[k]), products));
  }
  add_products_portable(x, g, sums, k, half);
}
#endif

void add_products(const fftw_complex *x, const fftw_complex *g, fftw_complex *sums, int half) {
#ifdef __x86_64__
  const kernel_level level = kernel_level_in_use();
  if (level == avx512_kernels) return add_products_avx512(x, g, sums, half);
  if (avx2_codecs(level)) return add_products_avx(x, g, sums, half);
#endif
  add_products_portable(x, g, sums, 0, half);
}

// Steps 6 and 7 for column c on samples within -scale..+scale.
double chain_of(const transform_state &ts, int c, double scale) {
  return ts.chain[c] * scale + UNDERFLOW;
}

// Whether output channel c's sums of a segment lie within limit of y(i),
// their true values, and the comparison's rounding.
template <typename True>
bool within(const double *sums, int n, double limit, True y) {
  for (int i = 0; i < n; i++) {
    const double want = y(i);
    if (!(std::abs(sums[i] - want) <=
          limit + 0x1p-51 * std::max(std::abs(sums[i]), std::abs(want))))
      return false;
  }
  return true;
}

// transform_block, with the hooks a test may set.
void transform_segments(const run_plan &plan, int slot, const double *const *x, int n,
                        double *const *sums, double *const *bounds, double scale,
                        const transform_hooks &hooks) {
  const transform_state &ts = plan.transform;
  const transform_scratch &s = ts.scratch[slot];
  const int segment = plan.segment, parts = ts.parts, live = ts.live, half = ts.size / 2 + 1;
  const int segments = (n + segment - 1) / segment;
  // Each window once, a segment apart, into the sums of the segments it
  // serves: segment k's part p is window k + P - 1 - p, so segment k's sums
  // begin with window k and are whole with window k + P - 1, and no more
  // than P are being summed at once. A window aligned as the plan's buffer
  // is transformed where it lies. Channels that filter the same input share
  // its transform and norms.
  for (int j = 0; j < segments + parts - 1; j++)
    for (int c = 0; c < plan.outputs; c++) {
      const bool same_input = c > 0 && x[c] == x[c - 1];
      if (!same_input) {
        const double *window = x[c] + static_cast<size_t>(j) * segment;
        // The plan reads its input without writing it.
        double *in = const_cast<double *>(window);
        if (fftw_alignment_of(in) != fftw_alignment_of(s.in)) {
          std::copy_n(window, ts.size, s.in);
          in = s.in;
        }
        fftw_execute_dft_r2c(ts.forward, in, s.spectrum);
        s.norms[c][j] = norm_up(window, ts.size);
      } else {
        s.norms[c][j] = s.norms[c - 1][j];
      }
      if (j < segments) std::fill_n(s.products[c][(j % live) * ts.stride], 2 * half, 0.0);
      for (int k = std::max(0, j - parts + 1); k <= std::min(segments - 1, j); k++)
        add_products(s.spectrum, ts.spectra[c] + (k + parts - 1 - j) * ts.stride,
                     s.products[c] + (k % live) * ts.stride, half);
      const int k = j - parts + 1;
      if (k < 0) continue;
      const int outputs = std::min(segment, n - k * segment);
      double *to = sums[c] + k * segment;
      fftw_execute_dft_c2r(ts.inverse, s.products[c] + (k % live) * ts.stride, s.out);
      std::copy_n(s.out + ts.part - 1, outputs, to);
      if (hooks.skew != 0)
        for (int i = 0; i < outputs; i++) to[i] += hooks.skew;
      double spread = 0;
      for (int p = 0; p < parts; p++) spread += ts.per_norm[c][p] * s.norms[c][k + parts - 1 - p];
      bounds[c][k] = hooks.bound_scale * spread * (1 + parts * 0x1p-52) + chain_of(ts, c, scale);
    }
}

// Steps 1 to 3 without the safety factor, of a segment's spread, and steps
// 6 and 7.
double own_limit(const run_plan &plan, int c, double spread) {
  const double chain = chain_of(plan.transform, c, 1);
  return (spread - chain) / SAFETY + chain;
}

// The samples a segment's windows span: its history and outputs, and, for
// a column of parts, one more that only the last window's last output,
// which no segment keeps, reads.
int self_test_window(const run_plan &plan) {
  return plan.history + plan.segment + 1;
}

// Step 11: the run's own plans and spectra on two windows whose true sums
// are known without summing the column: impulses one part apart, the first
// where output 0's newest sample is, whose outputs are a tap of each part,
// and ones, whose outputs all equal the column's sum.
bool passes_self_test(const spectra_job &job) {
  const run_plan &plan = *job.plan;
  const transform_state &ts = plan.transform;
  const int taps = plan.taps, segment = plan.segment, window = self_test_window(plan);
  double *x = job.work.window;
  const double *in[2] = {x, x};
  double *const sums[2] = {job.work.sums[0], job.work.sums[1]};
  double bounds[2][1];
  double *const spreads[2] = {bounds[0], bounds[1]};
  std::fill_n(x, window, 0.0);
  for (int p = 0; p < ts.parts; p++) x[plan.history - p * ts.part] = 1;
  transform_segments(plan, 0, in, segment, sums, spreads, 1, transform_hooks{});
  for (int c = 0; c < plan.outputs; c++) {
    const double *coef = plan.coef[c];
    // A tap of each part, summed in the extended format: within P - 1
    // roundings of 2^-64 of the largest tap, which steps 6 and 7 cover.
    const double limit = own_limit(plan, c, bounds[c][0]);
    const bool impulses = within(sums[c], segment, limit, [&](int i) {
      extended y = 0;
      for (int k = i; k < taps; k += ts.part) y = y + extended(coef[k]);
      return static_cast<double>(y);
    });
    if (!impulses) return false;
  }
  std::fill_n(x, window, 1.0);
  transform_segments(plan, 0, in, segment, sums, spreads, 1, transform_hooks{});
  for (int c = 0; c < plan.outputs; c++) {
    extended sum = 0;
    for (int k = 0; k < taps; k++) sum = sum + extended(plan.coef[c][k]);
    const double y = static_cast<double>(sum);
    const double limit = own_limit(plan, c, bounds[c][0]);
    if (!within(sums[c], segment, limit, [&](int) { return y; })) return false;
  }
  return true;
}

// The buffers of a transform of the state's size and parts: the spectra of
// each distinct column (a column equal to the one before shares them),
// their bounds and the first slot's scratch, in a mapping of their own.
void carve_size(transform_state &ts, page_map &pages) {
  for (int c = 0; c < 2; c++) {
    ts.spectra[c] = c < ts.columns
                        ? carve<fftw_complex>(pages, static_cast<size_t>(ts.parts * ts.stride))
                        : ts.spectra[c - 1];
    ts.largest[c] = carve<double>(pages, static_cast<size_t>(ts.parts));
    ts.per_norm[c] = carve<double>(pages, static_cast<size_t>(ts.parts));
  }
  ts.scratch[0] = make_scratch(ts, pages);
}

void make_size(transform_state &ts, int t, int parts, int part, int segments, int columns) {
  release_size(ts);
  ts.columns = columns;
  ts.log2_size = t;
  ts.size = 1 << t;
  ts.parts = parts;
  ts.part = part;
  ts.block_segments = segments;
  ts.live = std::min(parts, segments);
  ts.stride = (ts.size / 2 + 1 + 3) / 4 * 4;
  page_map size{};
  carve_size(ts, size);
  ts.pages = map_pages(size.bytes);
  carve_size(ts, ts.pages);
}

// The plans, on the first slot's scratch.
void make_plans(transform_state &ts) {
  // FFTW's planner allocates its tables itself and aborts when it can't.
  // They take well under PLANNER_BASE and PLANNER_BYTES per point (found by
  // running under address-space limits): room for that, found and given
  // back first, leaves the planner what it needs, and a run without it
  // ends as any run short of memory does.
  void *room = checked(fftw_malloc(PLANNER_BASE + PLANNER_BYTES * static_cast<size_t>(ts.size)));
  fftw_free(room);
  const transform_scratch &s = ts.scratch[0];
  ts.forward = checked(fftw_plan_dft_r2c_1d(ts.size, s.in, s.spectrum, FFTW_ESTIMATE));
  ts.inverse = checked(fftw_plan_dft_c2r_1d(ts.size, s.products[0], s.out, FFTW_ESTIMATE));
}

// Column c's bound per unit of each part's window's |x| (steps 1 to 3 and
// 5), from its H, and its chain's (step 6), from the column's H = h.
void set_bounds(run_plan &plan, int c, double h) {
  transform_state &ts = plan.transform;
  const int t = ts.log2_size, taps = plan.taps;
  ts.h[c] = h;
  const double eps = fft_error(t, U);
  const double gamma2 = 2 * U / (1 - 2 * U);
  const double sums = (ts.parts - 1) * U / (1 - (ts.parts - 1) * U);
  const double ul = std::numeric_limits<long double>::epsilon() / 2;
  const int column = std::min(c, ts.columns - 1);
  for (int p = 0; p < ts.parts; p++) {
    // The part's H and its partner's in the transform that made its
    // spectrum (step 3).
    extended pair_h = 0;
    for (const int item : {column * ts.parts + p, partner_of(ts, column * ts.parts + p)}) {
      if (item < 0) continue;
      int ic, ip;
      item_of(ts, item, &ic, &ip);
      for (int k = ip * ts.part; k < std::min(taps, (ip + 1) * ts.part); k++)
        pair_h = pair_h + magnitude(extended(plan.coef[ic][k]));
    }
    ts.per_norm[c][p] =
        SAFETY * SECOND_ORDER *
        (ts.size * ts.largest[c][p] * (2 * eps + std::sqrt(2.0) * gamma2 + sums + U) +
         (long_fft_error(t) + ul) * std::sqrt(static_cast<double>(ts.size)) *
             static_cast<double>(pair_h));
  }
  const bool rounded = plan.channels == 2 && c == 1;
  const double steps = rounded ? taps * (U + 0x1p-63) + 0x1p-64 : (taps + 1) * 0x1p-64;
  ts.chain[c] = steps * h * CHAIN_SLACK;
}

}  // namespace

// Four partial sums, each rounded at most n / 4 times, then two more
// additions and the square root: the relative error of the squares is
// below (n + 4) 2^-53, and of the root below 2^-52, so the slack rounds up.
double norm_up(const double *x, int n) {
  double s[4] = {};
  for (int i = 0; i < n; i += 4)
    for (int j = 0; j < 4; j++) s[j] += x[i + j] * x[i + j];
  const double squares = (s[0] + s[1]) + (s[2] + s[3]);
  return std::sqrt(squares * (1 + (n + 4) * 0x1p-52)) * (1 + 0x1p-51);
}

void transform_prepare(run_plan &plan, int threads) {
  const int taps = plan.taps, outputs = plan.outputs;
  transform_state &ts = plan.transform;
  plan.segment = 0;
  plan.history = taps - 1;
  extended h1[2] = {};
  for (int c = 0; c < outputs; c++)
    for (int k = 0; k < taps; k++) h1[c] = h1[c] + magnitude(extended(plan.coef[c][k]));
  for (int c = 0; c < outputs; c++)
    if (!(h1[c] < LARGEST_H)) return;

  // A whole column, up to 4096 taps: L from 4 taps up to 8 (2 taps up to 4
  // cost more per output, 8 up to 16 more everywhere), so at most 2^14.
  // Blocks of at least 8192 frames and two segments. Longer columns go in
  // parts: a quarter of the column a part, rounded up to a power of two
  // from 2^11 to 2^13 taps; then 2^13 up to 32 parts, and twice that part
  // and L beyond (1048576 taps: 32 parts of 2^15). The shorter the windows,
  // the less each output's transforms cost (a forward and inverse pair took
  // 6.5 us at 2^12 for 2048 outputs, 43 us at 2^14 for the 8194 of a whole
  // column of 8191 taps), and the more products each output sums, one a
  // part. On 60 s of stereo, two threads, against sox's time: 8191 taps in
  // 4 parts 0.32, in 2 parts 0.34, whole 0.35; 4500 taps in 3 parts or
  // whole 0.28; 16384 taps in 4 parts 0.33, in 2 0.36, in 8 0.33; 65536 taps
  // in parts of 2^13 or 2^14 alike. A block of S segments transforms S + P -
  // 1 windows, so the more segments, the fewer windows transformed again: on
  // one thread, whose one slot is all the memory, PARTS_BLOCK frames; on
  // more, whose slots are two more than the threads, half of that, or half
  // as many segments as parts where that is more, within PARTS_BLOCK; and
  // no more than BLOCK_SEGMENTS. At 65536 taps on 60 s of stereo that took
  // 0.10 s in 21 MB on one thread and 0.074 s in 40 MB on two, where half
  // as many segments as parts took 0.15 s in 15 MB and 0.084 s in 30 MB; at
  // 8191 taps on two threads 32 segments of 2^11 were no faster than 16, in
  // 27 MB instead of 19.
  int t = 6, parts = 1, part = taps, segment, segments;
  if (taps <= WHOLE_COLUMN) {
    while ((1 << t) < 4 * taps) t++;
    segment = (1 << t) - taps + 1;
    segments = std::max((8192 + segment - 1) / segment, 2);
  } else {
    t = 12;
    while ((1 << (t - 1)) * 4 < taps && t < 14) t++;
    while ((1 << (t - 1)) * 32 < taps) t++;
    part = segment = 1 << (t - 1);
    parts = (taps + part - 1) / part;
    const int most = std::min(PARTS_BLOCK / part, BLOCK_SEGMENTS);
    segments = std::clamp(threads == 1 ? most : std::max(parts / 2, most / 2), 2, most);
  }
  bool repeats[2] = {};
  for (int c = 1; c < outputs; c++)
    repeats[c] = plan.coef[c] == plan.coef[c - 1] ||
                 std::equal(plan.coef[c], plan.coef[c] + taps, plan.coef[c - 1]);
  const int columns = outputs == 2 && !repeats[1] ? 2 : 1;
  const bool new_size = ts.size != 1 << t || ts.parts != parts || ts.block_segments != segments ||
                        ts.columns != columns;
  if (new_size) make_size(ts, t, parts, part, segments, columns);
  ts.part = part;
  plan.segment = segment;
  plan.history = parts * part - 1;

  // The spectra: at the largest sizes, on a thread of their own while this
  // one makes the plans, when the run has a second thread and their windows
  // hold 2^13 samples or more (for fewer, the thread cost what it saved).
  // Their work and the self-test's window take a mapping for the time they
  // need.
  page_map size{};
  carve_work(size, t, self_test_window(plan));
  page_map work = map_pages(size.bytes);
  spectra_job job{&plan, carve_work(work, t, self_test_window(plan))};
  pthread_t helper;
  const bool helped = new_size && threads > 1 && parts << t >= 1 << 13 &&
                      start_thread(helper, make_spectra, &job, HELPER_STACK);
  if (!helped) make_spectra(&job);
  if (new_size) make_plans(ts);
  if (helped) pthread_join(helper, nullptr);

  for (int c = 0; c < outputs; c++) set_bounds(plan, c, static_cast<double>(h1[c]));
  if (!passes_self_test(job)) {
    plan.segment = 0;
    plan.history = taps - 1;
  }
  unmap_pages(work);
}

void transform_block(const run_plan &plan, int slot, const double *const *x, int n,
                     double *const *sums, double *const *bounds, double scale) {
  transform_segments(plan, slot, x, n, sums, bounds, scale, hooks);
}

void transform_slots(run_plan &plan, int count, page_map &pages) {
  transform_state &ts = plan.transform;
  for (int slot = 1; slot < count; slot++) {
    const transform_scratch s = make_scratch(ts, pages);
    if (pages.mapping != nullptr) ts.scratch[slot] = s;
  }
}

double transform_check_limit(const run_plan &plan, int c, double bound, double scale) {
  return (bound - chain_of(plan.transform, c, scale)) / SAFETY;
}

transform_hooks &test_hooks() {
  return hooks;
}
