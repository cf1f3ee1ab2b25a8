// The filter stage: blocks of frames read, filtered and written in stream order.
//
// Output frame t of a channel is y[t] = sum of h[k] * x[t - k], k = 0 to
// taps - 1, with x = 0 before the first frame and after the last: N input
// frames give N + taps - 1 output frames, the fill, steady and tail phases
// of the direct path (direct.cc) in one. The outputs go in blocks of the
// run's block size. A block holds its samples with the taps - 1 before
// them, zeros where there is no input, so that every output is the same
// window sum whichever phase it belongs to. Its double sums come from the
// kernels (kernels.cc) or the transform (transform.cc), and its codes from
// certification (certify.cc) with the bound that goes with them; an output
// whose code the bound leaves open, or whose magnitude could be the peak,
// takes the exact sum (exact.cc), over just the coefficients the direct path
// visits. Blocks are computed on the worker threads (workers.cc) and read
// and written here, in order. Every buffer is made before the first sample.
//
// The peak the direct path reports is the largest exact magnitude rounded
// to double, whatever the order of the outputs: an output that can't exceed
// a magnitude already known needs no exact sum for it.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/tapsum.h"
#include "filter/engine.h"
#include "wav/wav.h"

namespace {

// Output frames of a block with the kernels; the transform's blocks are
// whole segments, at least this many.
constexpr int BLOCK = 8192;
constexpr uint64_t UNKNOWN = UINT64_MAX;
// Outputs of a block checked against their exact sums when the transform
// computed it.
constexpr int CHECKS = 4;

// The run's fixed values.
struct layout {
  int channels;  // input channels
  int in_bits;
  int outputs;  // output channels
  int out_bits;
  int taps;
  int block;        // output frames of a full block
  int segment;      // outputs of a transform segment; 0 when the kernels sum
  bool exact_only;  // no bound: every output takes the exact sum
  double bound[2];  // of the kernels' sums of output channels 1 and 2
};

// One block of output frames and everything computed for it. Its window
// is the frames from t0 - taps + 1 to t0 + block - 1: raw holds the bytes
// of those in the input, window frames from - to to - 1; x the samples, 0
// where there is no input, and beyond the window as far as a kernel reads.
struct block {
  std::vector<unsigned char> raw;
  int from;
  int to;
  std::vector<double> x[2];  // input channels 1 and 2
  uint64_t t0;               // the first output frame
  int n;                     // output frames
  uint64_t frames;           // input frames, when the input has ended by this block; else UNKNOWN
  uint64_t read_to;          // input frames read up to the end of this block
  std::vector<double> sums[2];    // output channels 1 and 2
  std::vector<double> bounds[2];  // of each transform segment
  std::vector<int> open;          // the outputs of a channel that take the exact sum
  std::vector<extended> exact_sums;
  std::vector<int> codes[2];
  std::vector<unsigned char> bytes;
  double peak;
  bool clipped;
  uint64_t exact;
  bool transformed;  // the sums that decided the codes came from the transform
};

layout this_run;
// Never destroyed: a fatal error may end the process while workers compute.
std::vector<block> &slots = *new std::vector<block>;
double reversed[2][MAX_FIR_SAMPLES];  // the columns, oldest weight first
std::atomic<double> known_peak;       // a magnitude some exact sum of the run has reached
std::atomic<bool> transform_broken;   // a block's check found the transform beyond its bound
uint64_t exact_count;
uint64_t transform_count;
int threads_wanted;
int run_threads;  // the threads fir_setup started for the run
filter_method method_wanted = automatic;

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
  return {coef, reversed[c], b.x[this_run.channels == 2 ? c : 0].data(),
          this_run.channels == 2 && c == 1, this_run.bound[c]};
}

void raise_known_peak(double magnitude) {
  double seen = known_peak.load();
  while (magnitude > seen && !known_peak.compare_exchange_weak(seen, magnitude)) {
  }
}

// The exact sums of the open outputs listed, four chains at a time. Output
// i's sum runs from the first coefficient whose sample is in the input to
// the last whose sample is not before the first frame.
void exact_sums(const block &b, const column &col, const int *open, int count, extended *sums) {
  const int last_k = this_run.taps - 1;
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
    extended s[4] = {};
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

// The transform's sums of a block, or false when a few outputs spread over
// it lie further from their exact sums than the bound allows: a fault no
// analysis covers (a plan, an index, a broken library), after which the run
// sums with the kernels.
bool transform_sums_of(block &b, int k) {
  const double *x[2];
  double *sums[2];
  double *bounds[2];
  for (int c = 0; c < this_run.outputs; c++) {
    x[c] = column_of(b, c).x;
    sums[c] = b.sums[c].data();
    bounds[c] = b.bounds[c].data();
  }
  transform_block(k, x, b.n, sums, bounds);
  int checked[CHECKS];
  for (int j = 0; j < CHECKS; j++) checked[j] = static_cast<int>((2 * j + 1) * int64_t{b.n} / 8);
  extended exact[CHECKS];
  for (int c = 0; c < this_run.outputs; c++) {
    exact_sums(b, column_of(b, c), checked, CHECKS, exact);
    for (int j = 0; j < CHECKS; j++) {
      const int i = checked[j];
      const double limit = transform_check_limit(c, bounds[c][i / this_run.segment]);
      if (!(magnitude(exact[j] - sums[c][i]) <= limit)) return false;
    }
  }
  return true;
}

// Certifies a channel's sums, segment by segment when the transform formed
// them, and lists in b.open the outputs that take the exact sum.
int certify_block(block &b, int c) {
  const int bits = this_run.out_bits;
  const double least_peak = known_peak.load();
  int *codes = b.codes[c].data();
  const double *sums = b.sums[c].data();
  if (!b.transformed)
    return certify(sums, b.n, this_run.bound[c], bits, least_peak, codes, &b.clipped,
                   b.open.data());
  int opened = 0;
  for (int q = 0, at = 0; at < b.n; q++, at += this_run.segment) {
    int *open = b.open.data() + opened;
    const int listed = certify(sums + at, std::min(this_run.segment, b.n - at), b.bounds[c][q],
                               bits, least_peak, codes + at, &b.clipped, open);
    for (int j = 0; j < listed; j++) open[j] += at;
    opened += listed;
  }
  return opened;
}

void compute_block(int k) {
  block &b = slots[static_cast<size_t>(k)];
  b.peak = 0;
  b.clipped = false;
  b.exact = 0;
  const int window = static_cast<int>(b.x[0].size());
  for (int c = 0; c < this_run.channels; c++) {
    std::fill(b.x[c].begin(), b.x[c].begin() + b.from, 0.0);
    std::fill(b.x[c].begin() + b.to, b.x[c].begin() + window, 0.0);
  }
  const int frame_bytes = this_run.channels * this_run.in_bits / 8;
  // The decoder goes with the kernel level: at level 0 it uses no AVX2
  // either, so that a run at the portable level is portable throughout.
  decode_frames(b.raw.data() + b.from * frame_bytes, this_run.in_bits, this_run.channels,
                b.to - b.from, b.x[0].data() + b.from, b.x[1].data() + b.from, simd_level() >= 1);

  b.transformed = false;
  if (this_run.segment != 0 && b.n > 0 && !transform_broken.load()) {
    b.transformed = transform_sums_of(b, k);
    if (!b.transformed) transform_broken = true;
  }
  if (!b.transformed && !this_run.exact_only) {
    const int rounded_up = (b.n + KERNEL_OUTPUTS - 1) / KERNEL_OUTPUTS * KERNEL_OUTPUTS;
    for (int c = 0; c < this_run.outputs; c++)
      block_sums(reversed[c], column_of(b, c).x, this_run.taps, rounded_up, b.sums[c].data());
  }

  int *open = b.open.data();
  extended *exact = b.exact_sums.data();
  for (int c = 0; c < this_run.outputs; c++) {
    int opened = 0;
    if (this_run.exact_only) {
      for (int i = 0; i < b.n; i++) open[opened++] = i;
    } else {
      opened = certify_block(b, c);
    }
    exact_sums(b, column_of(b, c), open, opened, exact);
    for (int j = 0; j < opened; j++) {
      const extended size = magnitude(exact[j]);
      if (size > b.peak) b.peak = static_cast<double>(size);
      bool clip = false;
      b.codes[c][static_cast<size_t>(open[j])] =
          sample_code(static_cast<double>(exact[j]), this_run.out_bits, &clip);
      b.clipped |= clip;
    }
    b.exact += static_cast<uint64_t>(opened);
  }
  encode_frames(b.codes[0].data(), b.codes[1].data(), this_run.outputs, b.n, this_run.out_bits,
                b.bytes.data());
  raise_known_peak(b.peak);
}

// Reads up to want frames of frame_bytes into raw; fewer only at the end of
// the input. A partial frame at the end is read and not counted.
int read_frames(byte_stream &in, unsigned char *raw, int frame_bytes, int want) {
  const size_t wanted = static_cast<size_t>(want) * static_cast<size_t>(frame_bytes);
  return static_cast<int>(read_bytes(in, raw, wanted) / static_cast<size_t>(frame_bytes));
}

// The threads for a run: as asked, or as many as the process may run on, but
// no more than there are blocks to share when the length is known.
int threads_for(const filter_job &job, int block_frames) {
  int threads = threads_wanted;
  if (threads <= 0) {
#ifdef __linux__
    cpu_set_t cpus;
    threads = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
#else
    threads = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
#endif
    if (!job.to_end) {
      const uint64_t size = static_cast<uint64_t>(block_frames);
      const uint64_t blocks = (output_frames(job.frames, job.taps) + size - 1) / size;
      threads = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(threads), blocks));
    }
  }
  return std::clamp(threads, 1, MAX_THREADS);
}

// Sets up the run: the columns, their bounds, the method and the block
// size.
void prepare(const filter_job &job) {
  const int taps = job.taps;
  const int channels = job.channels;
  this_run = {channels, job.in_bits, output_channels(job), job.out_bits, taps, BLOCK, 0,
              false,    {0, 0}};
  for (int k = 0; k < taps; k++) {
    reversed[0][taps - 1 - k] = fir_coef1[k];
    reversed[1][taps - 1 - k] = fir_coef2[k];
  }
  this_run.bound[0] = column_bound(fir_coef1, taps);
  this_run.bound[1] = column_bound(fir_coef2, taps);
  this_run.exact_only = this_run.bound[0] < 0 || this_run.bound[1] < 0;
  const filter_method method = method_wanted == automatic ? method_for(taps) : method_wanted;
  if (method == transform_sums && !this_run.exact_only) {
    const double *coef[2] = {fir_coef1, fir_coef2};
    const bool rounded[2] = {false, channels == 2};
    this_run.segment = transform_prepare(coef, rounded, this_run.outputs, taps);
  }
  if (this_run.segment != 0)
    this_run.block = (BLOCK + this_run.segment - 1) / this_run.segment * this_run.segment;
  known_peak = 0;
  transform_broken = false;
  exact_count = 0;
  transform_count = 0;
}

// count slots with every buffer a block of the run needs.
void make_slots(int count) {
  const int taps = this_run.taps;
  const int channels = this_run.channels;
  const size_t frames = static_cast<size_t>(this_run.block);
  const size_t window = static_cast<size_t>(taps - 1) + frames + KERNEL_OUTPUTS;
  const size_t segments =
      this_run.segment != 0 ? frames / static_cast<size_t>(this_run.segment) : 0;
  slots.resize(static_cast<size_t>(count));
  for (block &b : slots) {
    b.raw.resize(static_cast<size_t>(channels * this_run.in_bits / 8) * window);
    b.open.resize(frames);
    b.exact_sums.resize(frames);
    b.bytes.resize(frames * 4);
    for (int c = 0; c < 2; c++) {
      b.x[c].assign(c < channels ? window : 0, 0.0);
      b.sums[c].resize(c < this_run.outputs ? frames + KERNEL_OUTPUTS : 0);
      b.bounds[c].resize(c < this_run.outputs ? segments : 0);
      b.codes[c].resize(c < this_run.outputs ? frames : 0);
    }
  }
  if (this_run.segment != 0) transform_slots(count);
}

}  // namespace

uint64_t output_frames(uint64_t input_frames, int taps) {
  return input_frames + static_cast<uint64_t>(taps) - 1;
}

int output_channels(const filter_job &job) {
  return job.channels == 2 || job.stereo_fir ? 2 : 1;
}

namespace {

// Where a run stands in its stream: blocks read and handed out, blocks
// written, and what they add up to.
struct stream {
  byte_stream *in;
  byte_stream *out;
  const filter_job *job;
  uint64_t slots;        // slots in use
  uint64_t frames_read;  // input frames
  uint64_t total;        // output frames, once the input has ended; else UNKNOWN
  uint64_t next_t0;      // the first output frame of the next block
  uint64_t next;         // the next block to read
  uint64_t written;      // the next block to write
  double peak;
  bool clipped;
};

// Reads the next block into its slot and hands it out. Never past the
// declared frames: what follows them is not audio. A run asked to stop
// reads no more and keeps the frames it has whole, without the tail.
void read_block(stream &s) {
  const filter_job &job = *s.job;
  const int taps = job.taps;
  const int frame_bytes = job.channels * job.in_bits / 8;
  block &b = slots[s.next % s.slots];
  const block &before = slots[(s.next + s.slots - 1) % s.slots];
  // The window's first taps - 1 frames are the last of the block before.
  const size_t history = static_cast<size_t>(taps - 1) * static_cast<size_t>(frame_bytes);
  if (s.next != 0)
    std::copy_n(
        before.raw.data() + static_cast<size_t>(before.n) * static_cast<size_t>(frame_bytes),
        history, b.raw.data());
  if (s.total == UNKNOWN) {
    int want = this_run.block;
    if (!job.to_end && job.frames - s.frames_read < static_cast<uint64_t>(want))
      want = static_cast<int>(job.frames - s.frames_read);
    const int got = read_frames(*s.in, b.raw.data() + history, frame_bytes, want);
    s.frames_read += static_cast<uint64_t>(got);
    if (got < want || (!job.to_end && s.frames_read == job.frames))
      s.total = output_frames(s.frames_read, taps);
    if (stop_signal()) s.total = s.frames_read;
  }
  // Window frame w is input frame t0 - taps + 1 + w.
  const int64_t first = static_cast<int64_t>(s.next_t0) - (taps - 1);
  b.from = static_cast<int>(std::max<int64_t>(0, -first));
  b.to = static_cast<int>(
      std::min<int64_t>(taps - 1 + this_run.block, static_cast<int64_t>(s.frames_read) - first));
  b.to = std::max(b.to, b.from);
  b.t0 = s.next_t0;
  b.n = static_cast<int>(
      std::min<uint64_t>(static_cast<uint64_t>(this_run.block), s.total - s.next_t0));
  b.frames = s.total == UNKNOWN ? UNKNOWN : s.frames_read;
  b.read_to = s.frames_read;
  s.next_t0 += static_cast<uint64_t>(b.n);
  hand_out(static_cast<int>(s.next % s.slots));
  s.next++;
}

// Waits for the oldest block and writes it, with its progress lines.
void write_block(stream &s) {
  const filter_job &job = *s.job;
  const int k = static_cast<int>(s.written % s.slots);
  wait_done(k);
  const block &b = slots[static_cast<size_t>(k)];
  const int sample_bytes = job.out_bits / 8 * this_run.outputs;
  write_bytes(*s.out, b.bytes.data(), static_cast<size_t>(b.n) * static_cast<size_t>(sample_bytes));
  // Progress at every multiple of 1% of more than 100 declared frames, for
  // the frames of the steady phase: those read after the first taps. A run
  // that reads to the end has no share to show.
  if (!job.to_end && job.frames > 100) {
    const uint32_t step = job.frames / 100;
    const uint64_t from = std::max(b.t0 + 1, static_cast<uint64_t>(job.taps) + 1);
    const uint64_t to = std::min(b.t0 + static_cast<uint64_t>(b.n), b.read_to);
    for (uint64_t c = (from + step - 1) / step * step; c <= to; c += step)
      report_progress(c, job.frames);
  }
  if (b.peak > s.peak) s.peak = b.peak;
  s.clipped |= b.clipped;
  exact_count += b.exact;
  transform_count += b.transformed;
  s.written++;
}

}  // namespace

void fir_setup(const filter_job &job) {
  // The block size depends on the method, the threads on the block size,
  // and the slots on the threads: two more than the threads, some being
  // read and written while the rest are computed.
  prepare(job);
  run_threads = threads_for(job, this_run.block);
  make_slots(run_threads + 2);
  start_workers(run_threads, compute_block);
}

uint64_t fir(byte_stream &in, byte_stream &out, const filter_job &job) {
  stream s{&in, &out, &job, static_cast<uint64_t>(run_threads + 2), 0, UNKNOWN, 0, 0, 0, 0, false};
  for (;;) {
    while (s.next - s.written < s.slots && s.next_t0 < s.total && !stop_signal()) read_block(s);
    if (s.written == s.next) break;
    write_block(s);
  }
  stop_workers();

  if (!stop_signal()) report_end(s.peak, s.clipped);
  return s.next_t0;
}

void report_progress(uint64_t done, uint64_t frames) {
  fprintf(stderr, "\r%3ld%% done", static_cast<long>(done * 100 / frames));
  progress_line_open(true);
}

void report_end(double peak, bool clipped) {
  progress_line_open(false);
  fprintf(stderr, "\rPeak level was %.0f%%.\n",
          static_cast<double>(extended(peak) * 100));
  if (clipped) fputs("\n*** tapsum: Warning: output file was clipped.\n", stderr);
}

uint64_t exact_outputs() {
  return exact_count;
}

uint64_t transform_blocks() {
  return transform_count;
}

void set_filter_threads(int wanted) {
  threads_wanted = wanted;
}

void set_filter_method(filter_method method) {
  method_wanted = method;
}
