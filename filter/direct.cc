// The direct path: the filter as defined, one frame read, summed and written at a time.
//
// Output frame t of a channel is y[t] = sum of h[k] * x[t - k], k = 0 to
// taps - 1, with x = 0 before the first frame and after the last: N input
// frames give N + taps - 1 output frames. Each product and running sum is in
// the extended format, except channel 2 of a stereo input, whose running sum
// is rounded to double after every addition; the finished sum is rounded to
// double when it is written. fir computes the same bytes faster; this path
// is its reference.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <vector>

#include "base/extended.h"
#include "base/report.h"
#include "base/signals.h"
#include "filter/engine.h"
#include "wav/wav.h"

namespace {

// The run's fixed values, the ring buffers of input samples of channel 1
// and channel 2, each of taps slots, and what its outputs have shown so far.
struct direct_state {
  byte_stream *out;
  int channels;
  const sample_depth *out_depth;
  int taps;
  bool stereo_fir;
  const double *const *coef;
  double *data1;
  double *data2;
  double peak;
  bool clipped;
  uint64_t not_finite;  // input samples read as 0
};

int before(int slot, int taps) {
  return slot == 0 ? taps - 1 : slot - 1;
}

// coef[first + m] * ring[newest - m] summed for m below count, walking back
// through the ring from the newest sample and wrapping from slot 0 to slot
// taps - 1.
extended sum_extended(const double *coef, const double *ring, int taps, int first, int count,
                      int newest) {
  extended sum = 0;
  for (int m = 0, slot = newest; m < count; m++, slot = before(slot, taps))
    sum = sum + extended(coef[first + m]) * ring[slot];
  return sum;
}

// The same sum, its running value rounded to double after every addition.
double sum_rounded(const double *coef, const double *ring, int taps, int first, int count,
                   int newest) {
  double sum = 0;
  for (int m = 0, slot = newest; m < count; m++, slot = before(slot, taps))
    sum = static_cast<double>(sum + extended(coef[first + m]) * ring[slot]);
  return sum;
}

// The peak compares the extended magnitude and is kept as a double.
void put(extended sum, direct_state &r) {
  const extended size = magnitude(sum);
  if (size > r.peak) r.peak = static_cast<double>(size);
  r.clipped |= write_sample(static_cast<double>(sum), *r.out_depth, *r.out);
}

// One output frame over count taps from coefficient first, channel 1 before
// channel 2; newest is the ring slot of the newest sample.
void put_frame(direct_state &r, int first, int count, int newest) {
  put(sum_extended(r.coef[0], r.data1, r.taps, first, count, newest), r);
  if (r.channels == 2)
    put(sum_rounded(r.coef[1], r.data2, r.taps, first, count, newest), r);
  else if (r.stereo_fir)
    put(sum_extended(r.coef[1], r.data1, r.taps, first, count, newest), r);
}

// Reads one frame into the slot; 1 when the input has ended. Both samples of
// a stereo frame are read even when the first is missing. The samples not
// finite of a whole frame are counted.
int read_frame(direct_state &r, byte_stream &in, const sample_depth &depth, int slot) {
  const int first = read_sample(in, depth, &r.data1[slot]);
  const int second = r.channels == 2 ? read_sample(in, depth, &r.data2[slot]) : 0;
  if (first == 1 || second == 1) return 1;
  r.not_finite += (first == 2) + (second == 2);
  return 0;
}

}  // namespace

uint64_t fir_direct(byte_stream &in, byte_stream &out, const filter_job &job) {
  const int taps = job.taps;
  std::vector<double> rings(2 * static_cast<size_t>(taps));
  direct_state r{&out,     job.channels, job.out_depth,       taps, job.stereo_fir,
                 job.coef, rings.data(), rings.data() + taps, 0,    false,
                 0};
  const sample_depth &in_depth = *job.in_depth;
  const uint64_t frames = job.frames;
  const bool to_end = job.to_end;
  uint64_t written = 0;
  int slot = 0;
  int filled = 0;
  bool ended = !to_end && frames == 0;

  // Fill: the samples before the first frame count as 0 and are not visited.
  while (!ended && slot < taps) {
    if (read_frame(r, in, in_depth, slot)) {
      ended = true;
      break;
    }
    put_frame(r, 0, slot + 1, slot);
    written++;
    slot++;
    filled++;
    ended = !to_end && written == frames;
  }

  // Steady: each frame overwrites the oldest sample, with the percentage.
  const progress_schedule progress = schedule_progress(frames, taps, to_end);
  if (!ended) {
    slot = 0;
    while (!read_frame(r, in, in_depth, slot)) {
      put_frame(r, 0, taps, slot);
      written++;
      slot = slot + 1 == taps ? 0 : slot + 1;
      ended = !to_end && written == frames;
      report_progress(progress, written, written);
      if (ended) break;
    }
  }

  // A run asked to stop keeps the frames it has, without the tail.
  if (stop_signal() != 0) return written;

  // Tail: the convolution continued with zero input, taps - 1 frames.
  const int newest = before(slot == taps ? 0 : slot, taps);
  for (int l = 1; l < taps; l++) {
    put_frame(r, l, std::min(taps - l, filled), newest);
    written++;
  }

  report_end(r.peak, r.clipped, r.not_finite);
  return written;
}
