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
// visits; block.cc computes a block so. Blocks are computed on the worker
// threads (workers.cc) and read and written here, in order. The run's plan
// and every buffer are made before the first sample.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/report.h"
#include "base/signals.h"
#include "filter/engine.h"
#include "wav/wav.h"

namespace {

// Output frames of a block with the kernels; the transform's blocks are
// whole segments, at least this many and at least two. A block decodes its
// taps - 1 frames of history again, as much as its own at one segment of
// 8191 taps: two segments were faster than one, and four no faster than
// two, in more memory.
constexpr int BLOCK_FRAMES = 8192;

// The run's plan, and the ring of slots its blocks are read, computed and
// written in: static, so that nothing is made before main and nothing is
// destroyed while workers compute, should a fatal error end the process.
run_plan plan;
block ring[MAX_THREADS + EXTRA_SLOTS];
size_t ring_size;
int threads_wanted;
filter_method method_wanted = automatic;
// What the last run counted, for the tests and the benchmark.
uint64_t exact_count;
uint64_t transform_count;
uint64_t kernel_count;

// The workers' task: the block in a slot of the ring.
void compute_slot(int slot) {
  compute_block(ring[slot], plan);
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

// The columns as the kernels and the exact sums take them, from the heap: a
// mapping of huge pages would take 2 MiB for what is often a few KiB. A
// column equal to the one before shares its arrays, and only a column with
// a zero tap lists the others. The last run's arrays are given back when
// the next run makes its plan.
double *reversed_made[2];
int *nonzero_made[2];
int *before_made[2];

void make_columns(int taps) {
  const size_t n = static_cast<size_t>(taps);
  for (int c = 0; c < 2; c++) {
    delete[] reversed_made[c];
    delete[] nonzero_made[c];
    delete[] before_made[c];
    reversed_made[c] = nullptr;
    nonzero_made[c] = before_made[c] = nullptr;
    const double *coef = plan.coef[c];
    if (c == 1 && (coef == plan.coef[0] || std::equal(coef, coef + taps, plan.coef[0]))) {
      plan.reversed[1] = plan.reversed[0];
      plan.exact_taps[1] = plan.exact_taps[0];
      continue;
    }
    plan.reversed[c] = reversed_made[c] = new double[n];
    for (int k = 0; k < taps; k++) reversed_made[c][taps - 1 - k] = coef[k];
    // Exact sums skip the zero taps of a column that has some.
    plan.exact_taps[c] = {nullptr, nullptr};
    if (std::find(coef, coef + taps, 0.0) == coef + taps) continue;
    int *nonzero = nonzero_made[c] = new int[n];
    int *before = before_made[c] = new int[n + 1];
    int count = 0;
    for (int k = 0; k < taps; k++) {
      before[k] = count;
      if (coef[k] != 0) nonzero[count++] = k;
    }
    before[taps] = count;
    plan.exact_taps[c] = {nonzero, before};
  }
}

// The products up to which a level's kernels are faster than the
// transform. They are faster up to about 150 taps whatever the length; the
// transform's plans, spectra and self-test cost some 5 ms a run, so for a
// run of up to about 6e8 products the kernels are faster still at the
// AVX-512 level, and up to a share of that as large as their speed's at the
// others.
uint64_t kernels_faster_up_to(kernel_level level) {
  switch (level) {
    case portable_kernels:
      return 75'000'000;
    case avx2_kernels:
      return 300'000'000;
    case avx512_kernels:
      return 600'000'000;
  }
  return 0;
}

}  // namespace

filter_method method_for(int taps, uint64_t products) {
  if (taps < 150) return kernel_sums;
  return products <= kernels_faster_up_to(kernel_level_in_use()) ? kernel_sums : transform_sums;
}

namespace {

// Makes the plan: the layout, the columns, their bounds, the method and
// the block's frames.
void make_plan(const filter_job &job) {
  const int taps = job.taps;
  plan.channels = job.channels;
  plan.in_depth = job.in_depth;
  plan.outputs = output_channels(job);
  plan.out_depth = job.out_depth;
  plan.taps = taps;
  plan.coef[0] = job.coef[0];
  plan.coef[1] = job.coef[1];
  make_columns(taps);
  for (int c = 0; c < 2; c++) {
    extended h = 0;
    for (int k = 0; k < taps; k++) h = h + magnitude(extended(plan.coef[c][k]));
    plan.h[c] = static_cast<double>(h);
    plan.bound[c] = column_bound(plan.coef[c], taps);
  }
  // A double's code is the double of the exact sum itself, which no double
  // sum within a bound makes certain: every output takes the exact sum.
  plan.exact_only = plan.bound[0] < 0 || plan.bound[1] < 0 ||
                    (plan.out_depth->floating && plan.out_depth->bits == 64);
  plan.segment = 0;
  const uint64_t products =
      job.to_end ? UINT64_MAX
                 : output_frames(job.frames, taps) * static_cast<uint64_t>(taps * plan.outputs);
  // Codes of 32 bits are finer than the transform's bound, which would
  // leave nearly every one to the kernels' bound: they take the kernels.
  const bool fine_codes = !plan.out_depth->floating && plan.out_depth->bits == 32;
  const filter_method method = method_wanted != automatic ? method_wanted
                               : fine_codes               ? kernel_sums
                                                          : method_for(taps, products);
  plan.history = taps - 1;
  if (method == transform_sums && !plan.exact_only)
    transform_prepare(plan, threads_for(job, BLOCK_FRAMES));
  plan.block_frames = BLOCK_FRAMES;
  if (plan.segment != 0) plan.block_frames = plan.transform.block_segments * plan.segment;
  plan.known_peak = 0;
  plan.transform_broken = false;
  exact_count = 0;
  transform_count = 0;
  kernel_count = 0;
}

// The ring's buffers, in one mapping; the last run's is given back when
// the next run makes its ring.
page_map ring_pages;

// A slot's buffers, carved from pages.
void carve_slot(block &b, page_map &pages) {
  const size_t frames = static_cast<size_t>(plan.block_frames);
  const size_t window = static_cast<size_t>(b.window);
  const size_t segments = plan.segment != 0 ? frames / static_cast<size_t>(plan.segment) : 0;
  b.raw = carve<unsigned char>(
      pages, static_cast<size_t>(frame_bytes(plan.channels, *plan.in_depth)) * window);
  b.open = carve<int>(pages, frames);
  b.again_codes = plan.segment != 0 ? carve<int32_t>(pages, frames) : nullptr;
  b.still = plan.segment != 0 ? carve<int>(pages, frames) : nullptr;
  b.exact = carve<extended>(pages, EXACT_CHUNK);
  b.bytes =
      carve<unsigned char>(pages, frames * static_cast<size_t>(frame_bytes(2, *plan.out_depth)));
  for (int c = 0; c < 2; c++) {
    const bool in = c < plan.channels, out = c < plan.outputs;
    b.x[c] = in ? carve<double>(pages, window) : nullptr;
    b.sums[c] = out ? carve<double>(pages, frames + KERNEL_OUTPUTS) : nullptr;
    b.bounds[c] = out ? carve<double>(pages, segments) : nullptr;
    b.codes[c] = out ? carve<int32_t>(pages, frames) : nullptr;
    b.high[c] = out && plan.out_depth->bytes == 8 ? carve<int32_t>(pages, frames) : nullptr;
  }
}

// count slots with every buffer a block of the run needs, and the
// transform's scratch for each, in one mapping: measured, then laid out.
void make_ring(int count) {
  ring_size = static_cast<size_t>(count);
  page_map size{};
  for (int slot = 0; slot < count; slot++) {
    block &b = ring[static_cast<size_t>(slot)];
    b.slot = slot;
    b.window = plan.history + plan.block_frames + KERNEL_OUTPUTS;
    carve_slot(b, size);
  }
  if (plan.segment != 0) transform_slots(plan, count, size);
  unmap_pages(ring_pages);
  ring_pages = map_pages(size.bytes);
  for (int slot = 0; slot < count; slot++) carve_slot(ring[slot], ring_pages);
  if (plan.segment != 0) transform_slots(plan, count, ring_pages);
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
  uint64_t frames_read;    // input frames
  uint64_t total;          // output frames, once the input has ended; else UNKNOWN
  uint64_t next_t0;        // the first output frame of the next block
  uint64_t next_to_read;   // the next block to read
  uint64_t next_to_write;  // the next block to write
  int open;                // frames read into the next block, not yet handed out
  bool history_in_place;   // the next block's slot holds its history: copied once, since
                           // on one slot the block before is the same slot
  progress_schedule progress;
  double peak;
  bool clipped;
  uint64_t not_finite;  // input samples read as 0
};

block &slot_of(uint64_t block_number) {
  return ring[block_number % ring_size];
}

// Reads into the next block's slot the frames the input has ready, up to
// a block, and hands the block out when it is full or the input has ended;
// returns true, the block kept open, when the input stalls first. cut
// hands the open block out as it stands, with the outputs its frames
// determine. Never past the declared frames: what follows them is not
// audio. A run asked to stop reads no more and keeps the frames it has
// whole, without the tail.
bool read_block(stream &s, bool cut) {
  const filter_job &job = *s.job;
  const int taps = plan.taps;
  const int frame_size = frame_bytes(plan.channels, *plan.in_depth);
  block &b = slot_of(s.next_to_read);
  const block &before = slot_of(s.next_to_read + ring_size - 1);
  // The window's first frames, its history, are the last of the block before.
  const size_t history = static_cast<size_t>(plan.history) * static_cast<size_t>(frame_size);
  if (s.next_to_read != 0 && !s.history_in_place)
    std::copy_n(before.raw + static_cast<size_t>(before.n) * static_cast<size_t>(frame_size),
                history, b.raw);
  s.history_in_place = true;
  if (s.total == UNKNOWN && !cut) {
    int want = plan.block_frames - s.open;
    if (!job.to_end && job.frames - s.frames_read < static_cast<uint64_t>(want))
      want = static_cast<int>(job.frames - s.frames_read);
    const size_t size = static_cast<size_t>(frame_size);
    bool stalled = false;
    const int got =
        static_cast<int>(read_ready(*s.in, b.raw + history + static_cast<size_t>(s.open) * size,
                                    static_cast<size_t>(want) * size, size, &stalled) /
                         size);
    s.frames_read += static_cast<uint64_t>(got);
    s.open += got;
    if (stop_signal())
      s.total = s.frames_read;
    else if (stalled)
      return true;
    else if (got < want || (!job.to_end && s.frames_read == job.frames))
      s.total = output_frames(s.frames_read, taps);
  }
  // Window frame w is input frame t0 - taps + 1 + w.
  const int64_t first = static_cast<int64_t>(s.next_t0) - plan.history;
  b.from = static_cast<int>(std::max<int64_t>(0, -first));
  b.to = static_cast<int>(std::min<int64_t>(plan.history + plan.block_frames,
                                            static_cast<int64_t>(s.frames_read) - first));
  b.to = std::max(b.to, b.from);
  // Until the input ends, its outputs are those its frames determine.
  b.t0 = s.next_t0;
  b.n = static_cast<int>(
      std::min<uint64_t>(static_cast<uint64_t>(plan.block_frames),
                         (s.total == UNKNOWN ? s.frames_read : s.total) - s.next_t0));
  b.frames = s.total == UNKNOWN ? UNKNOWN : s.frames_read;
  b.read_to = s.frames_read;
  s.next_t0 += static_cast<uint64_t>(b.n);
  hand_out(b.slot);
  s.next_to_read++;
  s.open = 0;
  s.history_in_place = false;
  return false;
}

// Waits for the oldest block and writes it, with its progress lines.
void write_block(stream &s) {
  const block &b = slot_of(s.next_to_write);
  wait_done(b.slot);
  write_bytes(
      *s.out, b.bytes,
      static_cast<size_t>(b.n) * static_cast<size_t>(frame_bytes(plan.outputs, *plan.out_depth)));
  // The percentage for the frames read of those the block writes.
  report_progress(s.progress, b.t0 + 1, std::min(b.t0 + static_cast<uint64_t>(b.n), b.read_to));
  if (b.peak > s.peak) s.peak = b.peak;
  s.clipped |= b.clipped;
  s.not_finite += b.not_finite;
  exact_count += b.exact_count;
  transform_count += b.transformed;
  kernel_count += !b.transformed && !plan.exact_only;
  s.next_to_write++;
}

}  // namespace

void fir_setup(const filter_job &job) {
  // The block's frames depend on the method, the threads on the block's
  // frames, and the slots on the threads: on one, whose blocks are read,
  // computed and written in turn, one slot serves, in a third of the memory.
  make_plan(job);
  const int threads = threads_for(job, plan.block_frames);
  make_ring(threads == 1 ? 1 : threads + EXTRA_SLOTS);
  start_workers(threads, compute_slot);
}

uint64_t fir(byte_stream &in, byte_stream &out, const filter_job &job) {
  stream s{&in,
           &out,
           &job,
           0,
           UNKNOWN,
           0,
           0,
           0,
           0,
           false,
           schedule_progress(job.frames, plan.taps, job.to_end),
           0,
           false,
           0};
  for (;;) {
    bool stalled = false;
    while (s.next_to_read - s.next_to_write < ring_size && s.next_t0 < s.total && !stop_signal() &&
           !stalled)
      stalled = read_block(s, false);
    if (!stalled) {
      if (s.next_to_write == s.next_to_read) break;
      write_block(s);
      continue;
    }
    // The input stalls. The blocks handed out are written as they are
    // computed, and input that comes meanwhile goes on filling the open
    // block: a fast pipe empty for a moment still makes whole blocks.
    // With none left, the open block goes out as it stands, so that every
    // output its frames determine is written before the run waits.
    if (s.next_to_write < s.next_to_read) {
      if (wait_done_or_input(slot_of(s.next_to_write).slot, in)) write_block(s);
    } else if (s.open > 0) {
      read_block(s, true);
    } else {
      flush_bytes(out);
      wait_readable(in);
    }
  }
  stop_workers();

  if (!stop_signal()) report_end(s.peak, s.clipped, s.not_finite);
  return s.next_t0;
}

uint64_t exact_outputs() {
  return exact_count;
}

uint64_t transform_blocks() {
  return transform_count;
}

uint64_t kernel_blocks() {
  return kernel_count;
}

void set_filter_threads(int wanted) {
  threads_wanted = wanted;
}

void set_filter_method(filter_method method) {
  method_wanted = method;
}
