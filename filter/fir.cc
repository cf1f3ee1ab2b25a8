// The filter engine: ring buffers, fill, steady and tail phases, progress, peak and clipping
// report.
//
// Output frame t of a channel is y[t] = sum of h[k] * x[t - k], k = 0 to
// taps - 1, with x = 0 before the first frame and after the last: N input
// frames give N + taps - 1 output frames. Each product and running sum is in
// the extended format, except channel 2 of a stereo input, whose running sum
// is rounded to double after every addition; the finished sum is rounded to
// double when it is written.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "cli/tapsum.h"
#include "filter/filter.h"
#include "wav/wav.h"

namespace {

// How the outputs of a run are computed: the direct path walks the ring as
// written; the certified path forms each sum in double first and writes the
// code the error bound makes certain, falling back to the exact sum where
// it is not; the exact path forms the exact sums only, on the certified
// path's buffers, for coefficients no bound can be given for.
enum class path { direct, certified, exact };

// The run's fixed values, as the output of each frame needs them.
struct layout {
  FILE *out;
  int channels;
  int out_bits;
  int taps;
  int stereo_fir;
  path how;
  double bound1;  // error bounds of the certified path, output channels 1 and 2
  double bound2;
  int period;  // slots of the mirrored ring
};

double peak;
int clipped;
uint32_t exact_count;  // outputs of the certified or exact path that took the exact sum

// Frames read ahead in the steady phase, so that their sums are formed
// together before they are written one by one.
constexpr int BLOCK = 32;

// Outside the direct path each channel's samples are kept in a ring of
// period slots, each sample twice, in slots j and j + period, so that a
// window of the newest samples is always contiguous: it ends at slot head +
// period. The period is taps + BLOCK - 1, so reading a block ahead overwrites
// no sample that the block's first frame still needs. The coefficient
// columns are also stored reversed, oldest weight first, to run along a
// window.
double mirror1[2 * (MAX_FIR_SAMPLES + BLOCK)];
double mirror2[2 * (MAX_FIR_SAMPLES + BLOCK)];
double reversed1[MAX_FIR_SAMPLES];
double reversed2[MAX_FIR_SAMPLES];
int head;  // slot of the newest sample

// What the block stage found for one output of a frame read ahead.
struct ahead {
  double fast;        // the double sum (certified path)
  long double exact;  // the exact sum, when known
  bool known;         // exact is set: the bound left the code open
  int code;           // otherwise the code and clip flag the bound makes certain
  int clip;
};
ahead block[2][BLOCK];  // output channels 1 and 2
int block_head[BLOCK];  // the slot of each frame's newest sample

int before(int slot, int taps) {
  return slot == 0 ? taps - 1 : slot - 1;
}

// coef[first + m] * ring[newest - m] summed for m below count, walking back
// through the ring from the newest sample and wrapping from slot 0 to slot
// taps - 1.
long double sum_extended(const double *coef, const double *ring, int taps, int first, int count,
                         int newest) {
  long double sum = 0;
  for (int m = 0, slot = newest; m < count; m++, slot = before(slot, taps))
    sum += static_cast<long double>(coef[first + m]) * ring[slot];
  return sum;
}

// The same sum, its running value rounded to double after every addition.
double sum_rounded(const double *coef, const double *ring, int taps, int first, int count,
                   int newest) {
  double sum = 0;
  for (int m = 0, slot = newest; m < count; m++, slot = before(slot, taps))
    sum = static_cast<double>(sum + static_cast<long double>(coef[first + m]) * ring[slot]);
  return sum;
}

// The peak compares the extended magnitude and is kept as a double.
void put(long double sum, const layout &run) {
  exact_count += run.how != path::direct;
  const long double magnitude = fabsl(sum);
  if (magnitude > peak) peak = static_cast<double>(magnitude);
  clipped |= write_sample(static_cast<double>(sum), run.out_bits, run.out);
}

// Whether the fast path may be used, and the bound of a column's error.
//
// Every sample lies in [-1, 1], so with H = sum of |h[k]| no term exceeds its
// |h[k]| and every partial sum stays below H. The exact sum makes at most
// taps roundings along any path, each of relative size 2^-64 in the extended
// format, or 2^-53 + 2 * 2^-64 where channel 2 of a stereo input rounds its
// running sum to double; the fast double sum makes at most taps + 1 roundings
// of 2^-53 along any path (the portable kernel rounds its products too).
// Both therefore lie within (taps + 1) * (1 + 2^-10) * 2^-53 * H of the true
// sum, and within 2.002 * (taps + 1) * 2^-53 * H of each other; rounding
// near the bottom of the double range adds at most 2^-1074 per operation.
// The bound below takes 2.1 for 2.002: the rest covers the rounding of the
// bound itself and of the sums and differences formed with it (their
// rounding relative to |s| is covered separately, see spread_of). Columns
// whose H is not finite or so large that double sums could overflow, keep
// the exact arithmetic for the whole run.
double column_bound(const double *coef, int taps) {
  long double h = 0;
  for (int k = 0; k < taps; k++) h += fabsl(coef[k]);
  if (!(h < 0x1p1000L)) return -1;
  return (taps + 1) * (2.1 * 0x1p-53 * static_cast<double>(h) + 0x1p-1070);
}

// The output's code and clip flag when every value within spread of s gives
// the same ones; false when the interval reaches a clipping edge or holds a
// point where the code changes. The code as a function of the sum (rounding
// to double, clipping, scaling, rint) is monotone, so the ends decide.
bool certain_code(double s, double spread, int bits, int *code, int *clip) {
  const int top = bits == 8 ? 255 : 32767;
  const int bottom = bits == 8 ? 0 : -32768;
  *clip = 1;
  if (s - spread > 1) {
    *code = top;
    return true;
  }
  if (s + spread < -1) {
    *code = bottom;
    return true;
  }
  if (s - spread < -1 || s + spread > 1) return false;
  *clip = 0;
  // rint of the scaled value is the floor of the scaled value + 1/2, shifted
  // here to be positive so that truncation is the floor. The scaled value of
  // the exact arithmetic differs from t by the scaled spread, the rounding of
  // its sum to double (2^-53) and that of the two scalings (below 2^-35).
  const double scale = bits == 8 ? 127.5 : 32767.5;
  const double t = bits == 8 ? (s + 1.0) * 127.5 + 0.5 : s * 32767.5 + 32768.0;
  const double width = scale * (spread + 0x1p-50) + 0x1p-30;
  const int low = static_cast<int>(t - width);
  if (low != static_cast<int>(t + width)) return false;
  *code = bits == 8 ? low : low - 32768;
  return true;
}

// The half-width of the interval around a fast sum s that holds the exact
// sum: the bound, and 2^-51 of |s|, which covers the rounding (at most 2^-53
// of |s| each) of the sums and differences formed with s.
double spread_of(double s, double bound) {
  return bound + fabs(s) * 0x1p-51;
}

// The exact sums on a mirrored window: coef[first + m] times the sample
// m steps back from slot top.
long double mirror_extended(const double *coef, const double *ring, int first, int count, int top) {
  long double sum = 0;
  for (int m = 0; m < count; m++) sum += static_cast<long double>(coef[first + m]) * ring[top - m];
  return sum;
}

double mirror_rounded(const double *coef, const double *ring, int first, int count, int top) {
  double sum = 0;
  for (int m = 0; m < count; m++)
    sum = static_cast<double>(sum + static_cast<long double>(coef[first + m]) * ring[top - m]);
  return sum;
}

long double mirror_sum(const double *coef, const double *ring, bool rounded, int first, int count,
                       int top) {
  return rounded ? mirror_rounded(coef, ring, first, count, top)
                 : mirror_extended(coef, ring, first, count, top);
}

// Four windows' exact sums over all taps at once, each in its own order:
// four independent chains keep the x87 unit busy where one chain waits on
// every addition.
void exact4(const double *coef, const double *ring, bool rounded, int taps, const int *tops,
            long double *sums) {
  const double *r0 = ring + tops[0];
  const double *r1 = ring + tops[1];
  const double *r2 = ring + tops[2];
  const double *r3 = ring + tops[3];
  if (rounded) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int m = 0; m < taps; m++) {
      const long double h = coef[m];
      s0 = static_cast<double>(s0 + h * r0[-m]);
      s1 = static_cast<double>(s1 + h * r1[-m]);
      s2 = static_cast<double>(s2 + h * r2[-m]);
      s3 = static_cast<double>(s3 + h * r3[-m]);
    }
    sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3;
    return;
  }
  long double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (int m = 0; m < taps; m++) {
    const long double h = coef[m];
    s0 += h * r0[-m];
    s1 += h * r1[-m];
    s2 += h * r2[-m];
    s3 += h * r3[-m];
  }
  sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3;
}

// The double sum of count taps from coefficient first, the window ending at
// the sample in slot newest.
double fast_sum(const layout &run, const double *reversed, const double *ring, int first, int count,
                int newest) {
  return dot(reversed + run.taps - first - count, ring + newest + run.period - count + 1, count);
}

// One output channel's column, ring and bound outside the direct path.
struct column {
  const double *coef;
  const double *reversed;
  const double *ring;
  bool rounded;  // the running sum is rounded to double: channel 2 of a stereo input
  double bound;
};

column column_of(const layout &run, int channel) {
  if (channel == 0) return {fir_coef1, reversed1, mirror1, false, run.bound1};
  return {fir_coef2, reversed2, run.channels == 2 ? mirror2 : mirror1, run.channels == 2,
          run.bound2};
}

int outputs(const layout &run) {
  return run.channels == 2 || run.stereo_fir ? 2 : 1;
}

// Whether an output's code is left open: on the exact path always, else
// when the bound around its fast sum does not make the code certain (which
// sets a's code and clip flag).
bool code_open(const layout &run, const column &col, ahead &a) {
  return run.how == path::exact ||
         !certain_code(a.fast, spread_of(a.fast, col.bound), run.out_bits, &a.code, &a.clip);
}

// Writes one output outside the direct path: the certain code when the peak
// can't change either, else the exact sum, a.exact where it is known.
void put_output(const layout &run, const column &col, const ahead &a, int first, int count,
                int newest) {
  if (!a.known && fabs(a.fast) + spread_of(a.fast, col.bound) <= peak) {
    clipped |= a.clip;
    write_code(a.code, run.out_bits, run.out);
    return;
  }
  put(a.known ? a.exact
              : mirror_sum(col.coef, col.ring, col.rounded, first, count, newest + run.period),
      run);
}

// Computes and writes one output frame over count taps starting at
// coefficient first, channel 1 before channel 2; newest is the ring slot of
// the newest sample (outside the direct path the mirrored ring's own, head).
void put_frame(const layout &run, int first, int count, int newest) {
  if (run.how == path::direct) {
    put(sum_extended(fir_coef1, data1, run.taps, first, count, newest), run);
    if (run.channels == 2)
      put(sum_rounded(fir_coef2, data2, run.taps, first, count, newest), run);
    else if (run.stereo_fir)
      put(sum_extended(fir_coef2, data1, run.taps, first, count, newest), run);
    return;
  }
  for (int c = 0; c < outputs(run); c++) {
    const column col = column_of(run, c);
    ahead a{};
    if (run.how == path::certified)
      a.fast = fast_sum(run, col.reversed, col.ring, first, count, head);
    a.known = code_open(run, col, a);
    if (a.known)
      a.exact = mirror_sum(col.coef, col.ring, col.rounded, first, count, head + run.period);
    put_output(run, col, a, first, count, head);
  }
}

// The block stage for one output channel over the n frames read ahead: the
// double sums, four neighbouring windows at a time where they lie side by
// side in the ring (they share their coefficient loads); the codes these
// make certain; and the exact sums of the others, four at a time.
void block_column(const layout &run, const column &col, ahead *out, int n) {
  int i = 0;
  if (run.how == path::certified) {
    double sums[4];
    while (i < n) {
      if (i + 4 <= n && block_head[i + 3] == block_head[i] + 3) {
        dot4(col.reversed, col.ring + block_head[i] + run.period - run.taps + 1, run.taps, sums);
        for (int j = 0; j < 4; j++) out[i++].fast = sums[j];
      } else {
        out[i].fast = fast_sum(run, col.reversed, col.ring, 0, run.taps, block_head[i]);
        i++;
      }
    }
  }
  int open[BLOCK];
  int tops[BLOCK];
  int opened = 0;
  for (i = 0; i < n; i++) {
    out[i].known = code_open(run, col, out[i]);
    if (!out[i].known) continue;
    open[opened] = i;
    tops[opened++] = block_head[i] + run.period;
  }
  long double sums[4];
  for (i = 0; i + 4 <= opened; i += 4) {
    exact4(col.coef, col.ring, col.rounded, run.taps, tops + i, sums);
    for (int j = 0; j < 4; j++) out[open[i + j]].exact = sums[j];
  }
  for (; i < opened; i++)
    out[open[i]].exact = mirror_sum(col.coef, col.ring, col.rounded, 0, run.taps, tops[i]);
}

// Writes output frame i of the block, channel 1 before channel 2.
void put_ahead(const layout &run, int i) {
  for (int c = 0; c < outputs(run); c++)
    put_output(run, column_of(run, c), block[c][i], 0, run.taps, block_head[i]);
}

// Reads one frame into the slot; 1 when the input has ended. Both samples of
// a stereo frame are read even when the first is missing.
int read_frame(const layout &run, FILE *in, int bits, int slot) {
  int ended = read_sample(in, bits, &data1[slot]);
  if (run.channels == 2) ended |= read_sample(in, bits, &data2[slot]);
  if (run.how != path::direct && !ended) {
    head = head + 1 == run.period ? 0 : head + 1;
    mirror1[head] = mirror1[head + run.period] = data1[slot];
    if (run.channels == 2) mirror2[head] = mirror2[head + run.period] = data2[slot];
  }
  return ended;
}

// Reads up to want frames of the steady phase: one into the slot on the
// direct path, else a block ahead, whose sums it forms. Returns the frames
// read; fewer than want when the input has ended.
int read_block(const layout &run, FILE *in, int bits, int slot, int want) {
  int got = 0;
  while (got < want && !read_frame(run, in, bits, slot)) block_head[got++] = head;
  if (run.how != path::direct)
    for (int c = 0; c < outputs(run); c++) block_column(run, column_of(run, c), block[c], got);
  return got;
}

// The phases of the run, shared by the three paths.
uint64_t filter(const layout &run, FILE *in, int in_bits, uint32_t frames) {
  const int taps = run.taps;
  peak = 0;
  clipped = 0;
  exact_count = 0;
  // 64 bits: the frames read when 0 are declared, and the tail, may pass
  // 2^32, and a 32-bit counter would then wrap and stop at a declared 0.
  uint64_t written = 0;
  int slot = 0;
  int filled = 0;
  bool ended = false;

  // Fill: the samples before the first frame count as 0 and are not visited.
  while (!ended && slot < taps) {
    if (read_frame(run, in, in_bits, slot)) {
      ended = true;
      break;
    }
    put_frame(run, 0, slot + 1, slot);
    written++;
    slot++;
    filled++;
    ended = written == frames;
  }

  // Steady: each frame overwrites the oldest sample. Progress is reported
  // at every multiple of 1% of more than 100 declared frames.
  if (!ended) {
    // Within this phase the counter never passes frames, so counting up to
    // the step replaces a division per frame.
    const uint32_t step = frames > 100 ? frames / 100 : 0;
    uint64_t since_report = step == 0 ? 0 : written % step;
    slot = 0;
    for (;;) {
      // Never read past the declared frames: what follows them is not audio.
      int want = run.how == path::direct ? 1 : BLOCK;
      if (frames != 0 && frames - written < static_cast<uint32_t>(want))
        want = static_cast<int>(frames - written);
      const int got = read_block(run, in, in_bits, slot, want);
      for (int i = 0; i < got; i++) {
        if (run.how == path::direct)
          put_frame(run, 0, taps, slot);
        else
          put_ahead(run, i);
        written++;
        slot = slot + 1 == taps ? 0 : slot + 1;
        ended = written == frames;
        if (step != 0 && ++since_report == step) {
          since_report = 0;
          fprintf(stderr, "\r%3ld%% done", static_cast<long>(written * 100 / frames));
        }
      }
      if (ended || got < want) break;
    }
  }

  // Tail: the convolution continued with zero input, taps - 1 frames.
  const int newest = before(slot == taps ? 0 : slot, taps);
  for (int l = 1; l < taps; l++) {
    put_frame(run, l, std::min(taps - l, filled), newest);
    written++;
  }

  fprintf(stderr, "\rPeak level was %.0f%%.\n",
          static_cast<double>(static_cast<long double>(peak) * 100));
  if (clipped) fputs("\n*** tapsum: Warning: output file was clipped.\n", stderr);
  return written;
}

}  // namespace

uint64_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames) {
  layout run{out, channels, out_bits, taps, stereo_fir, path::certified, 0, 0, taps + BLOCK - 1};
  for (int k = 0; k < taps; k++) {
    reversed1[taps - 1 - k] = fir_coef1[k];
    reversed2[taps - 1 - k] = fir_coef2[k];
  }
  run.bound1 = column_bound(fir_coef1, taps);
  run.bound2 = column_bound(fir_coef2, taps);
  if (run.bound1 < 0 || run.bound2 < 0) run.how = path::exact;
  head = run.period - 1;
  return filter(run, in, in_bits, frames);
}

uint64_t fir_direct(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps,
                    int stereo_fir, uint32_t frames) {
  return filter({out, channels, out_bits, taps, stereo_fir, path::direct, 0, 0, 0}, in, in_bits,
                frames);
}

uint32_t exact_outputs() {
  return exact_count;
}
