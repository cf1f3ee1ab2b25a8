// The parts of the filter engine shared by the files of filter/, the tests and the benchmark.
#pragma once

#include <fftw3.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/extended.h"
#include "filter/filter.h"

// Slots of a run beyond its threads: one being read and one being written
// while the others are computed.
constexpr int EXTRA_SLOTS = 2;
// The exact sums a block holds at once: a multiple of the four chains
// summed together.
constexpr int EXACT_CHUNK = 256;

// A count not known yet: the input frames before the input has ended.
constexpr uint64_t UNKNOWN = UINT64_MAX;

// The taps of a column an exact sum visits: all of them (index null), or
// only those not zero, index[p] for p from before[first] to before[last +
// 1] - 1. A zero product adds nothing to a sum but perhaps the sign of a
// zero, and no code or peak depends on that sign.
struct tap_list {
  const int *index;
  const int *before;
};

// A mapping of whole 2 MiB pages for a run's larger buffers, which the
// system may back with pages of that size (pages.cc): buffers are carved
// from next on, 64 bytes at a time, and the mapping is given back whole.
// A page_map{} maps nothing and measures: carving from it adds up the bytes
// in bytes and gives null, so that one list of buffers both sizes a mapping
// and lays it out.
struct page_map {
  void *mapping;
  size_t bytes;
  unsigned char *next;
};
// A mapping with room for at least bytes; out of memory ends the run.
page_map map_pages(size_t bytes);
void unmap_pages(page_map &pages);

// count values of T from pages.next on, value-initialised; null, and the
// bytes counted, when pages measures.
// Under AddressSanitizer each buffer is followed by RED_ZONE bytes that it
// marks as not to be touched, so that a buffer carved too small, or a
// reach past one, is reported as it would be for memory from the heap.
#if defined(__SANITIZE_ADDRESS__)
#define TAPSUM_RED_ZONES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAPSUM_RED_ZONES 1
#endif
#endif
#ifdef TAPSUM_RED_ZONES
constexpr size_t RED_ZONE = 64;
void poison(const void *from, size_t bytes);
#else
constexpr size_t RED_ZONE = 0;
inline void poison(const void *, size_t) {}
#endif
template <typename T>
T *carve(page_map &pages, size_t count) {
  const size_t used = count * sizeof(T);
  const size_t bytes = ((used + 63) & ~size_t{63}) + RED_ZONE;
  if (pages.mapping == nullptr) {
    pages.bytes += bytes;
    return nullptr;
  }
  // A fresh mapping reads as zeros already; a page is touched, and paid
  // for, only when the run first uses it. Every type carved here is a
  // number whose bytes of zero are its zero (the software extended format's
  // too, which has a constructor and so isn't trivially made).
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  T *values = reinterpret_cast<T *>(pages.next);
  poison(pages.next + used, bytes - used);
  pages.next += bytes;
  return values;
}

// A block's scratch for the transform: a window that is not aligned as the
// plan's buffer is, its spectrum, the sums of products of each output
// channel's segments, a segment's outputs, and the norms of each input
// channel's windows.
struct transform_scratch {
  double *in;
  fftw_complex *spectrum;
  fftw_complex *products[2];  // segment k's from (k % live) * stride on
  double *out;
  double *norms[2];
};

// The transform's part of the plan (transform.cc): overlap-save with real
// FFTs of one size L, the column in P parts of B taps each, each part's
// spectrum computed once, and the bound of a segment's sums per unit of
// the norms of its windows. Its size, plans and spectra are kept for the
// next run of the same size and parts.
struct transform_state {
  int size;                  // L, the samples of a window
  int log2_size;             // t, L = 2^t
  int columns;               // of distinct spectra: 1 when the second column is the first
  int parts;                 // P
  int part;                  // B: the taps of a part, the column's own when P is 1
  int block_segments;        // K, the segments of a block
  int live;                  // the segments whose products are being summed at once
  int stride;                // between segments' products, at least L / 2 + 1
  fftw_plan forward;         // a window to its spectrum
  fftw_plan inverse;         // products to sums
  fftw_complex *spectra[2];  // G^ of each output channel's parts, part p's from p * stride
  double h[2];               // H, the sum of a column's |taps|
  double *largest[2];        // |G^|max of each part, rounded up
  double *per_norm[2];       // steps 1 to 3 and 5 for each part, per unit of its window's |x|
  double chain[2];           // step 6, per unit of the samples' scale
  transform_scratch scratch[MAX_THREADS + EXTRA_SLOTS];  // one a slot of the ring
  page_map pages;  // the spectra, their bounds and the first slot's scratch
};

// The run's plan, made once by fir_setup before the first sample and read
// by every block, on any thread.
struct run_plan {
  int channels;                   // input channels
  const sample_depth *in_depth;   // of the input's samples
  int outputs;                    // output channels
  const sample_depth *out_depth;  // of the output's samples
  int taps;                       // coefficient rows
  int history;                    // frames a block holds before its first output's: taps - 1,
                                  // or more for a transform in parts, whose weights are 0
  int block_frames;               // output frames of a full block
  int segment;                    // outputs of a transform segment; 0 when the kernels sum
  bool exact_only;                // no bound, or doubles out: every output takes the exact sum
  double h[2];                    // H of output channels 1 and 2: the sums of their |taps|
  double bound[2];                // of the kernels' sums of each, on samples within -1..+1
  const double *coef[2];          // the columns, newest weight first
  const double *reversed[2];      // the same, oldest weight first, as the kernels take them
  tap_list exact_taps[2];         // what exact sums visit of each column
  transform_state transform;
  // The two values the run's blocks learn as they go, the only ones that
  // change once the plan is made: a magnitude some exact sum of the run has
  // reached, and that a block's check found the transform beyond its bound.
  mutable std::atomic<double> known_peak;
  mutable std::atomic<bool> transform_broken;
};

// One block of output frames and everything computed for it, in its slot
// of the ring. Its window is the frames from t0 - history to t0 +
// block_frames - 1: raw holds the bytes of those in the input, window
// frames from - to to - 1; x the samples, 0 where there is no input, and
// beyond the window as far as a kernel reads.
struct block {
  int slot;  // its place in the ring, and in the transform's scratch
  unsigned char *raw;
  int from;
  int to;
  int window;            // samples of x, from the window's first frame
  double *x[2];          // input channels 1 and 2
  uint64_t t0;           // the first output frame
  int n;                 // output frames
  uint64_t frames;       // input frames, when the input has ended by this block; else UNKNOWN
  uint64_t read_to;      // input frames read up to the end of this block
  double *sums[2];       // output channels 1 and 2
  double *bounds[2];     // of each transform segment
  int *open;             // the outputs of a channel that take the exact sum
  int32_t *again_codes;  // the codes of those the transform's bound leaves open, by the kernel
  int *still;            // those of them the kernel's bound leaves open too
  extended *exact;       // exact sums of EXACT_CHUNK of them at a time
  int32_t *codes[2];     // each output's code, or the low half of a 64-bit float's
  int32_t *high[2];      // the high half of a 64-bit float's; null for other depths
  unsigned char *bytes;
  double peak;
  bool clipped;
  double scale;          // the largest |sample| of its window, at least 1
  uint64_t not_finite;   // samples of the input read as 0, of those the block read first
  uint64_t exact_count;  // outputs that took the exact sum
  bool transformed;      // the sums that decided the codes came from the transform
};

// Computes a block from its raw bytes to its output bytes (block.cc).
void compute_block(block &b, const run_plan &plan);

// How many output samples of the last fir call took the exact sum because
// the bound could not decide their code, or they could be the peak; and how
// many of its blocks kept the transform's sums.
uint64_t exact_outputs();
uint64_t transform_blocks();
// How many blocks of the last fir call the kernels summed.
uint64_t kernel_blocks();

// The kernels' instruction sets, each its own kernel (kernels.cc and one
// file a set). The default is the best the processor has; a test or a
// benchmark may choose a lower one, which set_kernel_level gives at most
// the best.
enum kernel_level { portable_kernels, avx2_kernels, avx512_kernels };
constexpr int KERNEL_LEVELS = 3;
kernel_level best_kernel_level();
kernel_level kernel_level_in_use();
kernel_level set_kernel_level(kernel_level wanted);
// Whether the AVX2 decoder and certifier go with the kernels of level: so
// that a run at the portable level is portable throughout.
bool avx2_codecs(kernel_level level);

// The method fir uses for taps coefficient rows and a run of the given
// products (output frames times taps times output channels; UINT64_MAX when
// the length is not known) when it may choose.
filter_method method_for(int taps, uint64_t products);

// Outputs a kernel call computes at once; callers round their counts up to
// a multiple of it.
constexpr int KERNEL_OUTPUTS = 8;

// sums[i] = reversed[0] * x[i] + ... + reversed[taps - 1] * x[i + taps - 1]
// in double, for i below n, a multiple of KERNEL_OUTPUTS: each sum is one
// chain of taps fused multiply-adds (or products and additions in the
// portable kernel), so it is rounded at most taps + 1 times on any path.
void block_sums(const double *reversed, const double *x, int taps, int n, double *sums);
// The same sums of count outputs anywhere in x: output j's window starts at
// x + at[j]. Each is a tree of roundings, no path of which is longer than
// taps + 1, within the column's bound (certify.cc): by the portable kernel,
// or with AVX2 where the level has it.
void sums_at(const double *reversed, const double *x, int taps, const int *at, int count,
             double *sums);
// The exact sum of coef[k] * at[-k] for k from first to last of taps, added
// in that order to sum: in the extended format, or with the running sum
// rounded to double after every addition when rounded is set.
extended exact_sum(const double *coef, const double *at, int first, int last, tap_list taps,
                   bool rounded, extended sum);
// The same for four outputs, whose chains are interleaved.
void exact_sum4(const double *coef, const double *const *at, int first, int last, tap_list taps,
                bool rounded, extended *sums);

// The error bound of the kernels' double sums of a column, or -1 when there
// is none (a coefficient not finite, or a sum of magnitudes too large); the
// argument is in certify.cc.
double column_bound(const double *coef, int taps);
// The same for a column whose |taps| sum to h, on samples within -scale..
// +scale, scale at least 1.
double kernel_bound(double h, int taps, double scale);

// |x| of the n samples of x, n a multiple of 4, rounded up: the norm of a
// segment's window that its bound is proportional to (transform.cc, step 4).
double norm_up(const double *x, int n);

// Certifies the n double sums of one output channel. An output whose code
// every value within the bound of its sum gives has that code written to
// codes[i] and its clip flag ORed into clipped; the others are
// listed in open, in order: those whose code is left open, and those whose
// exact magnitude could pass both least_peak, a lower bound of the peak,
// and the magnitudes the other sums make certain. Returns how many are
// listed.
int certify(const double *sums, int n, double bound, const sample_depth &depth, double least_peak,
            int32_t *codes, bool *clipped, int *open);

// Prepares the plan's transform for its columns on the given threads, and
// sets plan.segment to the outputs of a segment and plan.history to the
// frames a block holds before them, or plan.segment to 0 when the columns
// are beyond what the bound covers or the plans fail their self-test: the
// sums then come from the kernels.
void transform_prepare(run_plan &plan, int threads);
// Makes the scratch of count blocks computed at once, all but the first
// (made with the plans) from pages, the ring's; with a page_map{}, only
// measures it.
void transform_slots(run_plan &plan, int count, page_map &pages);
// The sums of the first n outputs, at most a block's, of window x[c] of each
// output channel c, which begins plan.history frames before the first
// output's newest, on slot's scratch; bounds[c][q] is the spread of segment
// q's sums around the exact ones, for samples within -scale..+scale.
void transform_block(const run_plan &plan, int slot, const double *const *x, int n,
                     double *const *sums, double *const *bounds, double scale);
// The transform's own share, without the safety factor, of a spread of
// bound for channel c: how far a transform within its analysis may lie from
// the true sum (transform.cc, step 8).
double transform_check_limit(const run_plan &plan, int c, double bound, double scale);

// What the tests change in the transform to show that its checks catch
// what they exist for; as below, the defaults, in every other run.
struct transform_hooks {
  double bound_scale = 1;     // multiplies the transform's share of every bound
  double skew = 0;            // added to every sum the transform forms
  double spectrum_error = 0;  // each spectrum multiplied by 1 + this as it is made
};
transform_hooks &test_hooks();

// Starts run(arg) on a thread of its own with the signals that stop a run
// blocked, on a stack of the given bytes (0: the system's default); false
// when it can't start.
bool start_thread(pthread_t &thread, void *(*run)(void *), void *arg, size_t stack);

// Threads computing the blocks of a run: compute(slot) runs on one of
// them, or on the calling thread. start_workers starts count - 1 threads;
// hand_out queues a slot; wait_done returns when a slot has been computed,
// computing queued slots itself while it waits; stop_workers ends them.
void start_workers(int count, void (*compute)(int slot));
void hand_out(int slot);
void wait_done(int slot);
// Waits until slot has been computed, true, or until the input has a byte
// ready or the run is asked to stop, false. It computes queued slots
// itself only when no thread of its own does: the time is the input's,
// whose next bytes a busy reader would leave waiting.
bool wait_done_or_input(int slot, const byte_stream &in);
void stop_workers();
