// The transform: double sums of a block by overlap-save with real FFTs, and their error bound.
//
// A segment is L = 2^t window samples x of one input channel, L at least
// 4 * taps. Its circular convolution with the column h, zero-padded to L,
// equals the window sum of every output from taps - 1 on: a segment yields
// L - taps + 1 outputs, and the next segment starts that many samples later.
// G = F(h / L), F the unnormalised DFT, is computed once per run in long
// double and rounded to double; a segment's sums are then
// y^ = F*(F(x) . G^): one real FFT, L / 2 + 1 complex products and one
// inverse real FFT. The bound on |y^ - y|, for the true sums y of the same
// doubles, every output of the segment alike:
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
// 3. G^ is Gl, the transform of h / L (the scaling is by a power of two,
//    exact) computed in long double by a plain radix-2 transform of our own
//    (long_transform), rounded to double, each part within u of Gl's: so
//    |G^ - G|max <= u |G^|max (1 + u) + |Gl - G|max. Step 1 holds for that
//    transform as proven, with twiddles within mu = 2^-58 and long double's
//    unit roundoff ul (2^-64 for the x87's format, less for others) in eta:
//    |Gl - G|max <= |Gl - G| <= eps_L(mu, ul) |G| = eps_L(mu, ul) |h| /
//    sqrt(L) <= eps_L(mu, ul) H / sqrt(L), with H the sum of the |h[k]|. So
//    L |G^ - G|max <= u L |G^|max + eps_L(mu, ul) sqrt(L) H: a rounding, and
//    at L = 2^14 2^-47.1 H, where the double transform's componentwise
//    error was taken as 2^-46.5 H. |G^|max is taken with hypot: squares of
//    a filter below about 1e-155 would underflow.
// 4. |x| is the segment's own Euclidean norm, summed in double and rounded
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
//    relative, (taps + 1) 2^-64 H in all; the chain of channel 2 of a stereo
//    input rounds each addition to double as well, (taps (2^-53 + 2^-63) +
//    2^-64) H; 2^-10 of either more covers second-order terms.
// 7. Roundings that underflow err by at most 2^-1075 absolutely. The
//    transform is used only for columns with H below 2^100 (others take the
//    kernels), so fewer than 2^26 such roundings, none amplified by more
//    than 2^116 on the way to an output, stay below UNDERFLOW = 2^-900.
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
// 11. Before the first block, the run's own plans and spectra transform an
//    impulse and a segment of ones, whose true sums are the column's taps
//    and zeros, and the column's sum (within step 6 as summed here). An
//    output further from them than steps 1 to 3 without the safety factor
//    allow, plus the comparison's rounding, fails the transform, and the
//    run takes the kernels from its first block.
#include <fftw3.h>

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

transform_scratch make_scratch(int size, page_map &pages) {
  const size_t n = static_cast<size_t>(size), half = n / 2 + 1;
  return {carve<double>(pages, n), carve<fftw_complex>(pages, half),
          carve<fftw_complex>(pages, half), carve<double>(pages, n)};
}

// A complex value in long double, multiplied as written.
struct long_complex {
  long double re, im;
};

long_complex times(long_complex a, long_complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// The long double transform's work: the values transformed, the twiddles
// and the two tables they are made from, and the self-test's windows; for
// a transform of size 2^t, carved from pages.
struct long_work {
  long_complex *a, *fine, *coarse, *w;
  double *window, *sums;
};

long_work carve_work(page_map &pages, int t) {
  const size_t n = size_t{1} << t, step = size_t{1} << (t / 2);
  return {carve<long_complex>(pages, n),
          carve<long_complex>(pages, step),
          carve<long_complex>(pages, n / step),
          carve<long_complex>(pages, n / 2),
          carve<double>(pages, n),
          carve<double>(pages, n)};
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
}

// The transform of work.a in place, its size L = 2^t, with the twiddles
// made: plain radix-2 decimation in time, whose error step 3 takes from
// step 1.
void long_transform(const long_work &work, int t) {
  long_complex *a = work.a;
  const long_complex *w = work.w;
  const size_t n = size_t{1} << t;
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t half = 1; half < n; half <<= 1)
    for (size_t start = 0; start < n; start += 2 * half)
      for (size_t k = 0; k < half; k++) {
        const long_complex u = a[start + k];
        const long_complex v = times(a[start + k + half], w[k * (n / (2 * half))]);
        a[start + k] = {u.re + v.re, u.im + v.im};
        a[start + k + half] = {u.re - v.re, u.im - v.im};
      }
}

// What make_spectra needs and gives: the plan, whether each column is the
// one before it again, the work, and |G^|max of each column.
struct spectra_job {
  run_plan *plan;
  const bool *repeats;
  long_work work;
  double largest[2];
};

// G^ of each column's first taps rows: the transform of h / L in long
// double, rounded to double (step 3); |G^|max of each, rounded up. hypot
// keeps the magnitudes of a filter far below 1 from underflowing, as their
// squares would. It allocates nothing, so that it may run on a thread of
// its own.
void *make_spectra(void *arg) {
  spectra_job &job = *static_cast<spectra_job *>(arg);
  const run_plan &plan = *job.plan;
  const transform_state &ts = plan.transform;
  const int half = ts.size / 2 + 1;
  long_complex *a = job.work.a;
  make_twiddles(job.work, ts.log2_size);
  for (int c = 0; c < plan.outputs; c++) {
    fftw_complex *g = ts.spectra[c];
    if (job.repeats[c]) {
      std::copy_n(ts.spectra[c - 1][0], 2 * half, g[0]);
      job.largest[c] = job.largest[c - 1];
      continue;
    }
    std::fill_n(a, ts.size, long_complex{0, 0});
    for (int k = 0; k < plan.taps; k++)
      a[k].re = static_cast<long double>(plan.coef[c][k]) / ts.size;
    long_transform(job.work, ts.log2_size);
    double top = 0;
    for (int k = 0; k < half; k++) {
      const double re = static_cast<double>(a[k].re), im = static_cast<double>(a[k].im);
      g[k][0] = re + hooks.spectrum_error * re;
      g[k][1] = im + hooks.spectrum_error * im;
      top = std::max(top, std::hypot(g[k][0], g[k][1]));
    }
    job.largest[c] = top * (1 + 0x1p-51) + 0x1p-1070;
  }
  return nullptr;
}

// The complex products of a segment's spectrum with a column's.
void multiply(const fftw_complex *x, const fftw_complex *g, fftw_complex *p, int half) {
  for (int k = 0; k < half; k++) {
    const double a = x[k][0], b = x[k][1], c = g[k][0], d = g[k][1];
    p[k][0] = a * c - b * d;
    p[k][1] = a * d + b * c;
  }
}

// The first outputs sums of a segment from window's L samples through
// column c, and the window's norm; a window that column c - 1 has just
// transformed (same_input) keeps its spectrum and norm.
void segment(const run_plan &plan, const transform_scratch &s, const double *window,
             bool same_input, int c, double *to, int outputs, double &norm) {
  const transform_state &ts = plan.transform;
  if (!same_input) {
    std::copy_n(window, ts.size, s.in);
    fftw_execute_dft_r2c(ts.forward, s.in, s.spectrum);
    norm = norm_up(window, ts.size);
  }
  multiply(s.spectrum, ts.spectra[c], s.product, ts.size / 2 + 1);
  fftw_execute_dft_c2r(ts.inverse, s.product, s.out);
  std::copy_n(s.out + plan.taps - 1, outputs, to);
}

// Steps 6 and 7 for column c on samples within -scale..+scale.
double chain_of(const transform_state &ts, int c, double scale) {
  return ts.chain[c] * scale + UNDERFLOW;
}

// Step 11: the run's own plans and spectra on two windows whose true sums
// are known without summing: an impulse, whose outputs are the column's
// taps and zeros, and ones, whose outputs all equal the column's sum.
bool passes_self_test(const spectra_job &job) {
  const run_plan &plan = *job.plan;
  const transform_state &ts = plan.transform;
  const int taps = plan.taps, size = ts.size, outputs = plan.segment;
  double *window = job.work.window, *sums = job.work.sums;
  for (int c = 0; c < plan.outputs; c++) {
    // A column equal to the one before has its spectrum and a limit no
    // smaller: it passes as that one did.
    if (job.repeats[c]) continue;
    const double *coef = plan.coef[c];
    const double limit = ts.per_norm[c] / SAFETY;
    double norm = 0;
    std::fill_n(window, size, 0.0);
    window[taps - 1] = 1;
    segment(plan, ts.scratch[0], window, false, c, sums, outputs, norm);
    for (int i = 0; i < outputs; i++) {
      const double y = i < taps ? coef[i] : 0.0;
      if (!(std::abs(sums[i] - y) <= limit + 0x1p-52 * std::max(std::abs(sums[i]), std::abs(y))))
        return false;
    }
    std::fill_n(window, size, 1.0);
    segment(plan, ts.scratch[0], window, false, c, sums, outputs, norm);
    extended sum = 0;
    for (int k = 0; k < taps; k++) sum = sum + extended(coef[k]);
    const double y = static_cast<double>(sum);
    const double ones =
        limit * std::sqrt(static_cast<double>(size)) * (1 + 0x1p-50) + chain_of(ts, c, 1);
    for (int i = 0; i < outputs; i++)
      if (!(std::abs(sums[i] - y) <= ones + 0x1p-51 * std::max(std::abs(sums[i]), std::abs(y))))
        return false;
  }
  return true;
}

// The buffers of a transform of the state's size: the spectra and the
// first slot's scratch, in a mapping of their own.
void carve_size(transform_state &ts, page_map &pages) {
  for (fftw_complex *&g : ts.spectra)
    g = carve<fftw_complex>(pages, static_cast<size_t>(ts.size / 2 + 1));
  ts.scratch[0] = make_scratch(ts.size, pages);
}

void make_size(transform_state &ts, int t) {
  release_size(ts);
  ts.log2_size = t;
  ts.size = 1 << t;
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
  ts.inverse = checked(fftw_plan_dft_c2r_1d(ts.size, s.product, s.out, FFTW_ESTIMATE));
}

// Column c's bound per unit of |x| (steps 1 to 3 and 5) and its chain's
// (steps 6 and 7), from H = h, |G^|max = largest.
void set_bounds(transform_state &ts, int c, double h, double largest, int taps, bool rounded) {
  const int t = ts.log2_size;
  ts.h[c] = h;
  ts.largest[c] = largest;
  const double eps = fft_error(t, U);
  const double gamma2 = 2 * U / (1 - 2 * U);
  ts.per_norm[c] = SAFETY * SECOND_ORDER *
                   (ts.size * largest * (2 * eps + std::sqrt(2.0) * gamma2 + U) +
                    long_fft_error(t) * std::sqrt(static_cast<double>(ts.size)) * h);
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
  extended h1[2] = {};
  for (int c = 0; c < outputs; c++)
    for (int k = 0; k < taps; k++) h1[c] = h1[c] + magnitude(extended(plan.coef[c][k]));
  for (int c = 0; c < outputs; c++)
    if (!(h1[c] < LARGEST_H)) return;

  // L from 4 taps up to 8, but no more than 2^14, which is still at least
  // 2 taps: 2 taps up to 4 cost more per output below 4096 taps, 8 up to 16
  // more everywhere, and above 4096 taps 2^15 was no faster on two threads
  // and slower on one, its plans and spectra twice as costly.
  int t = 6;
  while ((1 << t) < 4 * taps && t < 14) t++;
  const bool new_size = ts.size != 1 << t;
  if (new_size) make_size(ts, t);
  plan.segment = ts.size - taps + 1;

  // The spectra: at the largest sizes, on a thread of their own while this
  // one makes the plans, when the run has a second thread (sooner only from
  // 2^13). Their work and the self-test's windows take a mapping for the
  // time they need.
  bool repeats[2] = {};
  for (int c = 1; c < outputs; c++)
    repeats[c] = std::equal(plan.coef[c], plan.coef[c] + taps, plan.coef[c - 1]);
  page_map size{};
  carve_work(size, t);
  page_map work = map_pages(size.bytes);
  spectra_job job{&plan, repeats, carve_work(work, t), {}};
  pthread_t helper;
  const bool helped =
      new_size && threads > 1 && t >= 13 && start_thread(helper, make_spectra, &job, HELPER_STACK);
  if (!helped) make_spectra(&job);
  if (new_size) make_plans(ts);
  if (helped) pthread_join(helper, nullptr);

  for (int c = 0; c < outputs; c++)
    set_bounds(ts, c, static_cast<double>(h1[c]), job.largest[c], taps,
               plan.channels == 2 && c == 1);
  if (!passes_self_test(job)) plan.segment = 0;
  unmap_pages(work);
}

void transform_block(const run_plan &plan, int slot, const double *const *x, int n,
                     double *const *sums, double *const *bounds, double scale) {
  const transform_state &ts = plan.transform;
  const transform_scratch &s = ts.scratch[slot];
  const int outputs_per_segment = plan.segment;
  for (int q = 0; q * outputs_per_segment < n; q++) {
    double norm = 0;
    for (int c = 0; c < plan.outputs; c++) {
      // Channels that filter the same input share its transform and norm.
      const bool same_input = c > 0 && x[c] == x[c - 1];
      const int outputs = std::min(outputs_per_segment, n - q * outputs_per_segment);
      double *to = sums[c] + q * outputs_per_segment;
      segment(plan, s, x[c] + q * outputs_per_segment, same_input, c, to, outputs, norm);
      if (hooks.skew != 0)
        for (int i = 0; i < outputs; i++) to[i] += hooks.skew;
      bounds[c][q] = hooks.bound_scale * ts.per_norm[c] * norm + chain_of(ts, c, scale);
    }
  }
}

void transform_slots(run_plan &plan, int count, page_map &pages) {
  transform_state &ts = plan.transform;
  for (int slot = 1; slot < count; slot++) {
    const transform_scratch s = make_scratch(ts.size, pages);
    if (pages.mapping != nullptr) ts.scratch[slot] = s;
  }
}

double transform_check_limit(const run_plan &plan, int c, double bound, double scale) {
  return (bound - chain_of(plan.transform, c, scale)) / SAFETY;
}

transform_hooks &test_hooks() {
  return hooks;
}
