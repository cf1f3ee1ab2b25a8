// The exact sums: products and running sums in the extended format, in the order the filter
// defines.
//
// An output's sum runs over the coefficients from the first it visits to the
// last, coef[k] times the sample k frames before the output's own. Channel 2
// of a stereo input rounds its running sum to double after every addition.
#include "filter/engine.h"

namespace {

// Calls visit(k) for each tap k from first to last that taps lists.
template <typename Visit>
inline void each_tap(int first, int last, tap_list taps, Visit visit) {
  if (taps.index == nullptr) {
    for (int k = first; k <= last; k++) visit(k);
    return;
  }
  for (int p = taps.before[first]; p < taps.before[last + 1]; p++) visit(taps.index[p]);
}

}  // namespace

extended exact_sum(const double *coef, const double *at, int first, int last, tap_list taps,
                   bool rounded, extended sum) {
  if (rounded) {
    double s = static_cast<double>(sum);
    each_tap(first, last, taps,
             [&](int k) { s = static_cast<double>(s + extended(coef[k]) * at[-k]); });
    return s;
  }
  each_tap(first, last, taps, [&](int k) { sum = sum + extended(coef[k]) * at[-k]; });
  return sum;
}

// Four chains interleaved keep the x87 unit busy where one chain waits on
// every addition; each stays in its own order.
void exact_sum4(const double *coef, const double *const *at, int first, int last, tap_list taps,
                bool rounded, extended *sums) {
  const double *a0 = at[0];
  const double *a1 = at[1];
  const double *a2 = at[2];
  const double *a3 = at[3];
  if (rounded) {
    double s0 = static_cast<double>(sums[0]), s1 = static_cast<double>(sums[1]);
    double s2 = static_cast<double>(sums[2]), s3 = static_cast<double>(sums[3]);
    each_tap(first, last, taps, [&](int k) {
      const extended h = coef[k];
      s0 = static_cast<double>(s0 + h * a0[-k]);
      s1 = static_cast<double>(s1 + h * a1[-k]);
      s2 = static_cast<double>(s2 + h * a2[-k]);
      s3 = static_cast<double>(s3 + h * a3[-k]);
    });
    sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3;
    return;
  }
  extended s0 = sums[0], s1 = sums[1], s2 = sums[2], s3 = sums[3];
  each_tap(first, last, taps, [&](int k) {
    const extended h = coef[k];
    s0 = s0 + h * a0[-k];
    s1 = s1 + h * a1[-k];
    s2 = s2 + h * a2[-k];
    s3 = s3 + h * a3[-k];
  });
  sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3;
}
