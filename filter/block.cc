// One block's computation: its samples decoded, its double sums, their codes certified, the exact
// sums of the outputs left open, and its bytes.
//
// The peak the direct path reports is the largest exact magnitude rounded
// to double, whatever the order of the outputs: an output that can't exceed
// a magnitude already known needs no exact sum for it.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/extended.h"
#include "filter/engine.h"
#include "wav/wav.h"

namespace {

// Outputs of a block checked against the kernels' sums when the transform
// computed it.
constexpr int CHECKS = 4;

// Marks an output summed again that is still open: no code certify gives
// is this, the code of no depth it certifies or the bits of a float's NaN.
constexpr int32_t OPEN = INT32_MIN + 1;

// An output channel's column and samples.
struct column {
  const double *coef;
  const double *x;
  tap_list taps;
  bool rounded;  // channel 2 of a stereo input rounds its running sum to double
};

// The window of the input channel that output channel c filters, from its
// first frame: history frames before the first output's newest.
const double *window_of(const block &b, const run_plan &plan, int c) {
  return b.x[plan.channels == 2 ? c : 0];
}

// Its samples from taps - 1 frames before the first output's newest on:
// what the kernels and the exact sums read.
column column_of(const block &b, const run_plan &plan, int c) {
  return {plan.coef[c], window_of(b, plan, c) + (plan.history - (plan.taps - 1)),
          plan.exact_taps[c], plan.channels == 2 && c == 1};
}

void raise_known_peak(const run_plan &plan, double magnitude) {
  double seen = plan.known_peak.load();
  while (magnitude > seen && !plan.known_peak.compare_exchange_weak(seen, magnitude)) {
  }
}

// The exact sums of the open outputs listed, four chains at a time. Output
// i's sum runs from the first coefficient whose sample is in the input to
// the last whose sample is not before the first frame.
void sum_open_outputs(const block &b, const run_plan &plan, const column &col, const int *open,
                      int count, extended *sums) {
  const int last_k = plan.taps - 1;
  int first[4];
  int last[4];
  const double *at[4];
  for (int i = 0; i < count; i += 4) {
    const int group = std::min(4, count - i);
    int common_first = 0;
    int common_last = last_k;
    for (int j = 0; j < 4; j++) {
      const int o = open[i + std::min(j, group - 1)];
      const uint64_t t = b.t0 + static_cast<uint64_t>(o);
      first[j] = b.frames != UNKNOWN && t >= b.frames ? static_cast<int>(t - b.frames + 1) : 0;
      last[j] = t < static_cast<uint64_t>(last_k) ? static_cast<int>(t) : last_k;
      at[j] = col.x + o + last_k;
      common_first = std::max(common_first, first[j]);
      common_last = std::min(common_last, last[j]);
    }
    extended s[4] = {};
    if (common_first > common_last) {
      for (int j = 0; j < group; j++)
        s[j] = exact_sum(col.coef, at[j], first[j], last[j], col.taps, col.rounded, 0);
    } else {
      // Each chain in its own order: its own first terms, the terms all four
      // share, then its own last ones.
      for (int j = 0; j < 4; j++)
        s[j] = exact_sum(col.coef, at[j], first[j], common_first - 1, col.taps, col.rounded, 0);
      exact_sum4(col.coef, at, common_first, common_last, col.taps, col.rounded, s);
      for (int j = 0; j < 4; j++)
        s[j] = exact_sum(col.coef, at[j], common_last + 1, last[j], col.taps, col.rounded, s[j]);
    }
    for (int j = 0; j < group; j++) sums[i + j] = s[j];
  }
}

// The transform's sums of a block, or false when a few outputs lie further
// from the kernels' sums than the transform's analysis and the kernels'
// bound together allow (transform.cc, steps 8 to 10): a fault no analysis
// covers (a plan, an index, a broken library), after which the run sums
// with the kernels. One output checked is a segment's last, where the
// overlap ends; the others are spread over the block and move from block
// to block.
bool transform_sums_of(block &b, const run_plan &plan, const double *kernel_bounds) {
  const double *windows[2], *x[2];
  double *sums[2];
  double *bounds[2];
  for (int c = 0; c < plan.outputs; c++) {
    windows[c] = window_of(b, plan, c);
    x[c] = column_of(b, plan, c).x;
    sums[c] = b.sums[c];
    bounds[c] = b.bounds[c];
  }
  transform_block(plan, b.slot, windows, b.n, sums, bounds, b.scale);
  const int64_t moved = static_cast<int64_t>(b.t0 / static_cast<uint64_t>(plan.block_frames)) * 997;
  int checked[CHECKS];
  checked[0] = std::min(b.n, plan.segment) - 1;
  for (int j = 1; j < CHECKS; j++)
    checked[j] = static_cast<int>(((2 * j + 1) * int64_t{b.n} / 8 + moved) % b.n);
  for (int c = 0; c < plan.outputs; c++) {
    // The checked outputs' sums as the kernels form them one by one: within
    // the column's bound of the true sums.
    double kernel[CHECKS];
    sums_at(plan.reversed[c], x[c], plan.taps, checked, CHECKS, kernel);
    for (int j = 0; j < CHECKS; j++) {
      const int i = checked[j];
      const double larger = std::max(std::fabs(kernel[j]), std::fabs(sums[c][i]));
      const double limit = transform_check_limit(plan, c, bounds[c][i / plan.segment], b.scale) +
                           kernel_bounds[c] + larger * 0x1p-51;
      if (!(std::fabs(kernel[j] - sums[c][i]) <= limit)) return false;
    }
  }
  return true;
}

// Certifies a channel's sums, segment by segment when the transform formed
// them, and lists in b.open the outputs that take the exact sum.
int certify_block(block &b, const run_plan &plan, int c, double kernel_bound) {
  const sample_depth &depth = *plan.out_depth;
  const double least_peak = plan.known_peak.load();
  int32_t *codes = b.codes[c];
  const double *sums = b.sums[c];
  if (!b.transformed)
    return certify(sums, b.n, kernel_bound, depth, least_peak, codes, &b.clipped, b.open);
  int opened = 0;
  for (int q = 0, at = 0; at < b.n; q++, at += plan.segment) {
    int *open = b.open + opened;
    const int listed = certify(sums + at, std::min(plan.segment, b.n - at), b.bounds[c][q], depth,
                               least_peak, codes + at, &b.clipped, open);
    for (int j = 0; j < listed; j++) open[j] += at;
    opened += listed;
  }
  // The outputs the transform's bound leaves open are summed again by the
  // kernels, whose bound, the column's, is far tighter (a code of 24
  // or 32 bits, or a float's, is finer than the transform's), and certified
  // with it together; those it leaves open too take the exact sum. The
  // transform's sums are spent: the new ones take their place, in order.
  const double *x = column_of(b, plan, c).x;
  double *again = b.sums[c];
  sums_at(plan.reversed[c], x, plan.taps, b.open, opened, again);
  const int left =
      certify(again, opened, kernel_bound, depth, least_peak, b.again_codes, &b.clipped, b.still);
  for (int k = 0; k < left; k++) b.again_codes[b.still[k]] = OPEN;
  int kept = 0;
  for (int j = 0; j < opened; j++) {
    if (b.again_codes[j] == OPEN)
      b.open[kept++] = b.open[j];
    else
      codes[b.open[j]] = b.again_codes[j];
  }
  return kept;
}

}  // namespace

void compute_block(block &b, const run_plan &plan) {
  b.peak = 0;
  b.clipped = false;
  b.exact_count = 0;
  const int window = b.window;
  for (int c = 0; c < plan.channels; c++) {
    std::fill(b.x[c], b.x[c] + b.from, 0.0);
    std::fill(b.x[c] + b.to, b.x[c] + window, 0.0);
  }
  // The decoder goes with the kernel level. Samples not finite are counted
  // among the frames this block reads first, not those it holds again from
  // the block before.
  const sample_depth &in_depth = *plan.in_depth;
  const bool vector = avx2_codecs(kernel_level_in_use());
  const int seen = std::max(b.from, std::min(plan.history, b.to));
  const size_t frame_size = static_cast<size_t>(frame_bytes(plan.channels, in_depth));
  decode_frames(b.raw + static_cast<size_t>(b.from) * frame_size, in_depth, plan.channels,
                seen - b.from, b.x[0] + b.from, b.x[1] + b.from, vector);
  b.not_finite = decode_frames(b.raw + static_cast<size_t>(seen) * frame_size, in_depth,
                               plan.channels, b.to - seen, b.x[0] + seen, b.x[1] + seen, vector);

  // The samples' scale (certify.cc, step 1): floats may pass 1. Past 2^64,
  // a level no audio has, the double sums could overflow on the way, and
  // every output takes the exact sum.
  b.scale = 1;
  if (in_depth.floating)
    for (int c = 0; c < plan.channels; c++)
      for (int i = b.from; i < b.to; i++) b.scale = std::max(b.scale, std::fabs(b.x[c][i]));
  const bool exact_only = plan.exact_only || !(b.scale <= 0x1p64);
  double kernel_bounds[2];
  for (int c = 0; c < plan.outputs; c++)
    kernel_bounds[c] = b.scale == 1 ? plan.bound[c] : kernel_bound(plan.h[c], plan.taps, b.scale);

  b.transformed = false;
  if (plan.segment != 0 && b.n > 0 && !exact_only && !plan.transform_broken.load()) {
    b.transformed = transform_sums_of(b, plan, kernel_bounds);
    if (!b.transformed) plan.transform_broken = true;
  }
  if (!b.transformed && !exact_only) {
    const int rounded_up = (b.n + KERNEL_OUTPUTS - 1) / KERNEL_OUTPUTS * KERNEL_OUTPUTS;
    // A column of zeros needs no sums: its codes are known (below).
    for (int c = 0; c < plan.outputs; c++)
      if (plan.bound[c] != 0)
        block_sums(plan.reversed[c], column_of(b, plan, c).x, plan.taps, rounded_up, b.sums[c]);
  }

  int *open = b.open;
  extended *exact = b.exact;
  for (int c = 0; c < plan.outputs; c++) {
    if (plan.bound[c] == 0) {
      // A column of zeros: every output is exactly 0 (certify.cc).
      bool clip = false;
      const int64_t zero = sample_code(0.0, *plan.out_depth, &clip);
      std::fill_n(b.codes[c], b.n, static_cast<int32_t>(zero));
      if (b.high[c] != nullptr) std::fill_n(b.high[c], b.n, static_cast<int32_t>(zero >> 32));
      continue;
    }
    int opened = 0;
    if (exact_only) {
      for (int i = 0; i < b.n; i++) open[opened++] = i;
    } else {
      opened = certify_block(b, plan, c, kernel_bounds[c]);
    }
    // The exact sums a chunk at a time, in a buffer of EXACT_CHUNK.
    for (int from = 0; from < opened; from += EXACT_CHUNK) {
      const int count = std::min(EXACT_CHUNK, opened - from);
      sum_open_outputs(b, plan, column_of(b, plan, c), open + from, count, exact);
      for (int j = 0; j < count; j++) {
        const extended size = magnitude(exact[j]);
        if (size > b.peak) b.peak = static_cast<double>(size);
        bool clip = false;
        const int o = open[from + j];
        const int64_t code = sample_code(static_cast<double>(exact[j]), *plan.out_depth, &clip);
        b.codes[c][o] = static_cast<int32_t>(code);
        if (b.high[c] != nullptr) b.high[c][o] = static_cast<int32_t>(code >> 32);
        b.clipped |= clip;
      }
    }
    b.exact_count += static_cast<uint64_t>(opened);
  }
  encode_frames(b.codes, b.high, plan.outputs, b.n, *plan.out_depth, b.bytes);
  raise_known_peak(plan, b.peak);
}
