// The filter stage: blocks of frames read, filtered and written in stream order.
//
// Output frame t of a channel is y[t] = sum of h[k] * x[t - k], k = 0 to
// taps - 1, with x = 0 before the first frame and after the last: N input
// frames give N + taps - 1 output frames, the fill, steady and tail phases
// of the direct path (direct.cc) in one. The outputs go in blocks of BLOCK
// frames. A block holds its samples with the taps - 1 before them, zeros
// where there is no input, so that every output is the same window sum
// whichever phase it belongs to. Its double sums come from the kernels
// (kernels.cc) and its codes from certification (certify.cc); an output
// whose code the bound leaves open, or whose magnitude could be the peak,
// takes the exact sum (exact.cc), over just the coefficients the direct path
// visits. Blocks are computed on the worker threads (workers.cc) and read
// and written here, in order.
//
// The peak the direct path reports is the largest exact magnitude rounded
// to double, whatever the order of the outputs: an output that can't exceed
// a magnitude already known needs no exact sum for it.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cli/tapsum.h"
#include "filter/filter.h"
#include "wav/wav.h"

namespace {

constexpr int BLOCK = 8192;
constexpr int MAX_SLOTS = 8;
constexpr uint64_t UNKNOWN = UINT64_MAX;

// The run's fixed values.
struct layout {
  int channels;  // input channels
  int in_bits;
  int outputs;  // output channels
  int out_bits;
  int taps;
  bool exact_only;  // no bound: every output takes the exact sum
  double bound[2];  // of output channels 1 and 2
};

// One block of output frames and everything computed for it. Its window
// is the frames from t0 - taps + 1 to t0 + BLOCK - 1: raw holds the bytes of
// those in the input, window frames from - to to - 1; x the samples, 0 where
// there is no input.
struct block {
  unsigned char raw[4 * (MAX_FIR_SAMPLES - 1 + BLOCK)];
  int from;
  int to;
  double x[2][MAX_FIR_SAMPLES - 1 + BLOCK];  // input channels 1 and 2
  uint64_t t0;                               // the first output frame
  int n;                                     // output frames
  uint64_t frames;   // input frames, when the input has ended by this block; else UNKNOWN
  uint64_t read_to;  // input frames read up to the end of this block
  double sums[BLOCK];
  int open[BLOCK];  // the outputs of a channel that take the exact sum
  long double exact_sums[BLOCK];
  int codes[2][BLOCK];  // output channels 1 and 2
  unsigned char bytes[4 * BLOCK];
  double peak;
  int clipped;
  uint64_t exact;
};

layout run;
block slots[MAX_SLOTS];
double reversed[2][MAX_FIR_SAMPLES];  // the columns, oldest weight first
std::atomic<double> known_peak;       // a magnitude some exact sum of the run has reached
uint64_t exact_count;
int threads_wanted;

// An output channel's column, samples and bound.
struct column {
  const double *coef;
  const double *reversed;
  const double *x;
  bool rounded;  // channel 2 of a stereo input rounds its running sum to double
  double bound;
};

column column_of(const block &b, int c) {
  const double *coef = c == 0 ? fir_coef1 : fir_coef2;
  return {coef, reversed[c], b.x[run.channels == 2 ? c : 0], run.channels == 2 && c == 1,
          run.bound[c]};
}

void raise_known_peak(double magnitude) {
  double seen = known_peak.load();
  while (magnitude > seen && !known_peak.compare_exchange_weak(seen, magnitude)) {
  }
}

// The exact sums of the open outputs listed, four chains at a time. Output
// i's sum runs from the first coefficient whose sample is in the input to
// the last whose sample is not before the first frame.
void exact_sums(const block &b, const column &col, const int *open, int count, long double *sums) {
  const int last_k = run.taps - 1;
  int first[4];
  int last[4];
  const double *at[4];
  int i = 0;
  for (; i < count; i += 4) {
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
    long double s[4] = {};
    if (common_first > common_last) {
      for (int j = 0; j < group; j++)
        s[j] = exact_sum(col.coef, at[j], first[j], last[j], col.rounded, 0);
    } else {
      // Each chain in its own order: its own first terms, the terms all four
      // share, then its own last ones.
      for (int j = 0; j < 4; j++)
        s[j] = exact_sum(col.coef, at[j], first[j], common_first - 1, col.rounded, 0);
      exact_sum4(col.coef, at, common_first, common_last, col.rounded, s);
      for (int j = 0; j < 4; j++)
        s[j] = exact_sum(col.coef, at[j], common_last + 1, last[j], col.rounded, s[j]);
    }
    for (int j = 0; j < group; j++) sums[i + j] = s[j];
  }
}

}  // namespace

void compute_block(int k) {
  block &b = slots[k];
  b.peak = 0;
  b.clipped = 0;
  b.exact = 0;
  int *open = b.open;
  long double *exact = b.exact_sums;
  const int window = run.taps - 1 + BLOCK;
  for (int c = 0; c < run.channels; c++) {
    std::fill(b.x[c], b.x[c] + b.from, 0.0);
    std::fill(b.x[c] + b.to, b.x[c] + window, 0.0);
  }
  const int frame_bytes = run.channels * run.in_bits / 8;
  // The portable level decodes without AVX2 too.
  decode_frames(b.raw + b.from * frame_bytes, run.in_bits, run.channels, b.to - b.from,
                b.x[0] + b.from, b.x[1] + b.from, simd_level(-1) >= 1);
  for (int c = 0; c < run.outputs; c++) {
    const column col = column_of(b, c);
    int opened = 0;
    if (run.exact_only) {
      for (int i = 0; i < b.n; i++) open[opened++] = i;
    } else {
      const int rounded_up = (b.n + KERNEL_OUTPUTS - 1) / KERNEL_OUTPUTS * KERNEL_OUTPUTS;
      block_sums(col.reversed, col.x, run.taps, rounded_up, b.sums);
      opened = certify(b.sums, b.n, col.bound, run.out_bits, known_peak.load(), b.codes[c],
                       &b.clipped, open);
    }
    exact_sums(b, col, open, opened, exact);
    for (int j = 0; j < opened; j++) {
      const long double magnitude = fabsl(exact[j]);
      if (magnitude > b.peak) b.peak = static_cast<double>(magnitude);
      int clip = 0;
      b.codes[c][open[j]] = sample_code(static_cast<double>(exact[j]), run.out_bits, &clip);
      b.clipped |= clip;
    }
    b.exact += static_cast<uint64_t>(opened);
  }
  encode_frames(b.codes[0], b.codes[1], run.outputs, b.n, run.out_bits, b.bytes);
  raise_known_peak(b.peak);
}

namespace {

// The threads for a run: as asked, or as many as the process may run on, but
// no more than there are blocks to share when the length is known.
int threads_for(uint32_t frames, int taps) {
  int threads = threads_wanted;
  if (threads <= 0) {
    cpu_set_t cpus;
    threads = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    if (frames != 0) {
      const uint64_t blocks =
          (uint64_t{frames} + static_cast<uint64_t>(taps) - 1 + BLOCK - 1) / BLOCK;
      threads = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(threads), blocks));
    }
  }
  return std::clamp(threads, 1, MAX_SLOTS - 2);
}

}  // namespace

uint64_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames) {
  run = {channels, in_bits, channels == 2 || stereo_fir ? 2 : 1, out_bits, taps, false, {0, 0}};
  for (int k = 0; k < taps; k++) {
    reversed[0][taps - 1 - k] = fir_coef1[k];
    reversed[1][taps - 1 - k] = fir_coef2[k];
  }
  run.bound[0] = column_bound(fir_coef1, taps);
  run.bound[1] = column_bound(fir_coef2, taps);
  run.exact_only = run.bound[0] < 0 || run.bound[1] < 0;
  known_peak = 0;
  exact_count = 0;

  const int threads = threads_for(frames, taps);
  const int in_use = threads + 2;  // slots: some being read and written, the rest computed
  start_workers(threads);

  const int frame_bytes = channels * in_bits / 8;
  const int sample_bytes = out_bits / 8 * run.outputs;
  const uint32_t step = frames > 100 ? frames / 100 : 0;
  uint64_t frames_read = 0;
  uint64_t total = UNKNOWN;  // output frames, once the input has ended
  uint64_t next_t0 = 0;
  uint64_t next = 0;            // the next block to read
  uint64_t written_blocks = 0;  // the next block to write
  double peak = 0;
  int clipped = 0;
  for (;;) {
    // Read ahead while a slot is free. Never past the declared frames: what
    // follows them is not audio.
    while (next - written_blocks < static_cast<uint64_t>(in_use) && next_t0 < total) {
      block &b = slots[next % MAX_SLOTS];
      const block &before = slots[(next + MAX_SLOTS - 1) % MAX_SLOTS];
      // The window's first taps - 1 frames are the last of the block before.
      const size_t history = static_cast<size_t>(taps - 1) * static_cast<size_t>(frame_bytes);
      if (next != 0)
        std::copy_n(before.raw + static_cast<size_t>(before.n) * static_cast<size_t>(frame_bytes),
                    history, b.raw);
      int got = 0;
      if (total == UNKNOWN) {
        int want = BLOCK;
        if (frames != 0 && frames - frames_read < static_cast<uint64_t>(want))
          want = static_cast<int>(frames - frames_read);
        got = static_cast<int>(fread(b.raw + history, static_cast<size_t>(frame_bytes),
                                     static_cast<size_t>(want), in));
        frames_read += static_cast<uint64_t>(got);
        if (got < want || frames_read == frames)
          total = frames_read + static_cast<uint64_t>(taps) - 1;
      }
      // Window frame w is input frame t0 - taps + 1 + w.
      const int64_t first = static_cast<int64_t>(next_t0) - (taps - 1);
      b.from = static_cast<int>(std::max<int64_t>(0, -first));
      b.to = static_cast<int>(
          std::min<int64_t>(taps - 1 + BLOCK, static_cast<int64_t>(frames_read) - first));
      b.to = std::max(b.to, b.from);
      b.t0 = next_t0;
      b.n = static_cast<int>(std::min<uint64_t>(BLOCK, total - next_t0));
      b.frames = total == UNKNOWN ? UNKNOWN : frames_read;
      b.read_to = frames_read;
      next_t0 += static_cast<uint64_t>(b.n);
      hand_out(static_cast<int>(next % MAX_SLOTS));
      next++;
    }
    if (written_blocks == next) break;

    const int k = static_cast<int>(written_blocks % MAX_SLOTS);
    wait_done(k);
    const block &b = slots[k];
    const size_t bytes = static_cast<size_t>(b.n) * static_cast<size_t>(sample_bytes);
    if (fwrite(b.bytes, 1, bytes, out) != bytes) output_failed();
    // Progress at every multiple of 1% of more than 100 declared frames, for
    // the frames of the steady phase: those read after the first taps.
    if (step != 0) {
      const uint64_t from = std::max(b.t0 + 1, static_cast<uint64_t>(taps) + 1);
      const uint64_t to = std::min(b.t0 + static_cast<uint64_t>(b.n), b.read_to);
      for (uint64_t c = (from + step - 1) / step * step; c <= to; c += step)
        report_progress(c, frames);
    }
    if (b.peak > peak) peak = b.peak;
    clipped |= b.clipped;
    exact_count += b.exact;
    written_blocks++;
  }
  stop_workers();

  report_end(peak, clipped);
  return next_t0;
}

void report_progress(uint64_t done, uint64_t frames) {
  fprintf(stderr, "\r%3ld%% done", static_cast<long>(done * 100 / frames));
}

void report_end(double peak, int clipped) {
  fprintf(stderr, "\rPeak level was %.0f%%.\n",
          static_cast<double>(static_cast<long double>(peak) * 100));
  if (clipped) fputs("\n*** tapsum: Warning: output file was clipped.\n", stderr);
}

uint64_t exact_outputs() {
  return exact_count;
}

int filter_threads(int wanted) {
  threads_wanted = wanted;
  return wanted;
}
