// fir against the direct path's exact arithmetic, by kernels and by transform, on 1, 2, 3 and 6
// threads.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/extended.h"
#include "base/report.h"
#include "base/streams.h"
#include "filter/engine.h"
#include "tests/support.h"

namespace {

std::mt19937 random_bits(2026);

// The engine's settings are the process's: each test puts back the
// defaults, whatever it changed and however it ended.
class FastPath : public testing::Test {
 protected:
  void TearDown() override {
    set_kernel_level(best_kernel_level());
    set_filter_threads(0);
    set_filter_method(automatic);
    test_hooks() = {};
  }
};

std::string noise(size_t bytes) {
  std::string data;
  while (data.size() < bytes) data += static_cast<char>(random_bits());
  return data;
}

// A depth by its bits, negative for a float's: 8, 16, 24, 32, -32, -64.
const sample_depth &row(int bits) {
  return *depth_of(std::abs(bits), bits < 0);
}

// A filter stage in this process: the coefficient columns (col2 empty for
// one column), the input's layout and depths, the data chunk's body,
// declared frames.
struct job {
  std::vector<double> col1, col2;
  int channels, in_bits, out_bits;
  std::string data;
  uint32_t frames;
};

// What a run of an engine from in_fd into out_fd shows but its output: the
// frames it counts, the input byte after it stopped reading and its report.
std::string run_on(const job &j, decltype(&fir) engine, int in_fd, int out_fd) {
  static unsigned char in_buffer[4096], out_buffer[4096];
  byte_stream in = stream_on(in_fd, in_buffer, sizeof in_buffer, input_failed);
  byte_stream out = stream_on(out_fd, out_buffer, sizeof out_buffer, output_failed);
  const filter_job settings{j.channels,
                            &row(j.in_bits),
                            static_cast<int>(j.col1.size()),
                            !j.col2.empty(),
                            &row(j.out_bits),
                            j.frames,
                            j.frames == 0,
                            {j.col1.data(), j.col2.empty() ? j.col1.data() : j.col2.data()}};
  testing::internal::CaptureStderr();
  if (engine == fir) fir_setup(settings);
  const uint64_t written = engine(in, out, settings);
  flush_bytes(out);
  return std::to_string(written) + " frames, then " + std::to_string(next_byte(in)) + "\n" +
         testing::internal::GetCapturedStderr();
}

// What a run shows, its output bytes after the rest.
std::string run_filter(const job &j, decltype(&fir) engine) {
  const int in_fd = memory_file(j.data), out_fd = memory_file("");
  std::string shown = run_on(j, engine, in_fd, out_fd);
  shown += contents(out_fd);
  close(in_fd);
  close(out_fd);
  return shown;
}

// The processor time of the process so far, in seconds.
double processor_time() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
}

// What a run of fir shows with its input fed through a pipe and its output
// read from a pipe as it comes. The feeder writes chunks of random sizes,
// from a part of a frame to several blocks, with stalls between some; or,
// with steady, chunks of steady bytes each followed by a stall of 0.5 ms,
// a source a little slower than the filter, whose pipe runs dry while
// blocks are computed. With hold_at, the feeder stops after that many
// frames until the output they determine has come, or for 10 s at most,
// and *held_back tells whether it had to wait that long; then for 300 ms
// more, and *busy is the processor time the process took in them, in
// seconds.
std::string run_chunked(const job &j, unsigned seed, size_t hold_at = 0, bool *held_back = nullptr,
                        double *busy = nullptr, size_t steady = 0) {
  int in_pipe[2], out_pipe[2];
  EXPECT_EQ(pipe(in_pipe), 0);
  EXPECT_EQ(pipe(out_pipe), 0);
  const size_t in_frame = static_cast<size_t>(j.channels * row(j.in_bits).bytes);
  const size_t out_frame =
      static_cast<size_t>((j.channels == 2 || !j.col2.empty() ? 2 : 1) * row(j.out_bits).bytes);
  std::atomic<size_t> arrived = 0;
  std::string output;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = read(out_pipe[0], chunk, sizeof chunk)) > 0;) {
      output.append(chunk, static_cast<size_t>(n));
      arrived = output.size();
    }
  });
  std::thread feeder([&] {
    std::mt19937 bits(seed);
    const size_t hold = hold_at * in_frame;
    for (size_t at = 0; at < j.data.size();) {
      const size_t most = bits() % 2 ? 40 : 20000;
      size_t n = std::min(j.data.size() - at, steady != 0 ? steady : 1 + bits() % most);
      if (at < hold && at + n > hold) n = hold - at;
      const ssize_t put = write(in_pipe[1], j.data.data() + at, n);
      if (put <= 0) break;
      at += static_cast<size_t>(put);
      if (at == hold) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (arrived < hold_at * out_frame && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        *held_back = arrived < hold_at * out_frame;
        const double before = processor_time();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        *busy = processor_time() - before;
      } else if (steady != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      } else if (bits() % 4 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(bits() % 2000));
      }
    }
    close(in_pipe[1]);
  });
  const std::string shown = run_on(j, fir, in_pipe[0], out_pipe[1]);
  close(out_pipe[1]);
  feeder.join();
  reader.join();
  close(in_pipe[0]);
  close(out_pipe[0]);
  return shown + output;
}

// The formulas written out here, for b bits and M = 2^b - 1: codes decoded
// in the extended format, 2c / 255 - 1 for 8 bits, (2c + 1) / M for more,
// and rounded to double, floats to their value, 0 for one not finite; the
// sum of products over the samples there are, in the extended format from
// coefficient 0, rounded to double; for codes clipped, scaled in the
// extended format, (y + 1) 255 / 2 or (y M - 1) / 2, rounded to double and
// to the nearest code, ties even; for floats rounded to the nearest.
std::string formulas(const std::vector<double> &h, const std::string &codes, int in_bits,
                     int out_bits) {
  const size_t in_size = static_cast<size_t>(std::abs(in_bits) / 8);
  std::vector<double> x;
  for (size_t i = 0; i + in_size <= codes.size(); i += in_size) {
    uint64_t bits = 0;
    for (size_t k = in_size; k-- > 0;) bits = bits << 8 | static_cast<unsigned char>(codes[i + k]);
    const int unused = 64 - 8 * static_cast<int>(in_size);
    const extended c = static_cast<double>(static_cast<int64_t>(bits << unused) >> unused);
    const extended m = std::ldexp(1.0, in_bits) - 1;
    double v;
    if (in_bits == 8)
      v = static_cast<double>(2 * extended(static_cast<double>(bits)) / 255 - 1);
    else if (in_bits == -32)
      v = std::bit_cast<float>(static_cast<uint32_t>(bits));
    else if (in_bits == -64)
      v = std::bit_cast<double>(bits);
    else
      v = static_cast<double>((2 * c + 1) / m);
    x.push_back(std::isfinite(v) ? v : 0);
  }
  std::string out;
  for (size_t t = 0; t + 1 < x.size() + h.size(); t++) {
    extended s = 0;
    for (size_t k = 0; k < h.size() && k <= t; k++)
      if (t - k < x.size()) s = s + extended(h[k]) * x[t - k];
    const double sum = static_cast<double>(s);
    uint64_t code;
    if (out_bits == -64) {
      code = std::bit_cast<uint64_t>(sum);
    } else if (out_bits == -32) {
      const float f = std::fabs(sum) >= 0x1.ffffffp127 ? std::copysign(HUGE_VALF, sum)
                                                       : static_cast<float>(sum);
      code = std::bit_cast<uint32_t>(f);
    } else {
      const extended y = std::fmax(-1.0, std::fmin(1.0, sum));
      const extended m = std::ldexp(1.0, out_bits) - 1;
      code = static_cast<uint64_t>(static_cast<int64_t>(
          std::rint(static_cast<double>(out_bits == 8 ? (y + 1) * 255 / 2 : (y * m - 1) / 2))));
    }
    for (int k = 0; k < std::abs(out_bits) / 8; k++) out += static_cast<char>(code >> 8 * k);
  }
  return out;
}

// Where a run's showing parts from the direct path's: the output frame and
// channel of the first byte that differs, or the reports when they do.
std::string where_they_differ(const std::string &fast, const std::string &direct, const job &j) {
  const int outputs = j.channels == 2 || !j.col2.empty() ? 2 : 1;
  const size_t frame_size = static_cast<size_t>(outputs * row(j.out_bits).bytes);
  const size_t bytes = std::stoull(direct) * frame_size;
  const size_t start = direct.size() >= bytes ? direct.size() - bytes : 0;
  size_t at = 0;
  while (at < fast.size() && at < direct.size() && fast[at] == direct[at]) at++;
  if (at < start || fast.size() != direct.size())
    return "the reports differ: " + testing::PrintToString(fast.substr(0, start)) + " where " +
           testing::PrintToString(direct.substr(0, start)) + " was wanted";
  const size_t sample = (at - start) / static_cast<size_t>(row(j.out_bits).bytes);
  return "output frame " + std::to_string(sample / static_cast<size_t>(outputs)) + ", channel " +
         std::to_string(sample % static_cast<size_t>(outputs) + 1) + ": " +
         first_difference(fast.substr(start), direct.substr(start));
}

// fir must show what the direct path shows, by the kernels and by the
// transform, with every kernel level the processor has and each thread
// count, and end in the output bytes want; where the transform is kept,
// every block by the transform keeps its sums. Returns the outputs that
// took the exact sum in the last run by the kernels.
uint64_t expect_same(const job &j, const std::string &what, std::vector<int> threads = {1},
                     const std::string &want = "", bool transform_kept = false) {
  const std::string direct = run_filter(j, fir_direct);
  EXPECT_TRUE(direct.size() > want.size() && direct.ends_with(want)) << what;
  uint64_t exact = 0;
  for (const filter_method method : {transform_sums, kernel_sums})
    for (const int count : threads)
      for (int level = portable_kernels; level <= best_kernel_level(); level++) {
        set_filter_method(method);
        set_filter_threads(count);
        set_kernel_level(static_cast<kernel_level>(level));
        const std::string fast = run_filter(j, fir);
        EXPECT_TRUE(fast == direct) << what << ", method " << method << ", kernel " << level << ", "
                                    << count << " threads: " << where_they_differ(fast, direct, j);
        if (method == transform_sums && transform_kept) {
          EXPECT_EQ(kernel_blocks(), 0u) << what << ", kernel " << level;
        }
        exact = exact_outputs();
      }
  return exact;
}

// Inputs shorter and longer than the filter, of one block of 8192 frames
// and of several, on 1, 2, 3 and 6 threads (6: every slot in use), with the
// declared count at and off a block's end, or 0; every layout and depth
// pair; 4097 taps, whose last part holds one. The last two: progress at a
// block's first and last frames.
TEST_F(FastPath, MatchesTheDirectPath) {
  const std::tuple<int, int, uint32_t, int, int> jobs[] = {
      {1, 8191, 8191, 16, 16},       {2, 8192, 0, 16, 16},        {3, 8193, 0, 16, 16},
      {31, 3 * 8192 + 5, 0, 16, 16}, {300, 2 * 8192, 9000, 8, 8}, {8192, 8192 - 4500, 0, 16, 8},
      {8192, 150, 150, 8, 16},       {1000, 140, 0, 16, 8},       {255, 267, 267, 8, 8},
      {2, 141, 141, 8, 16},          {3, 100, 100, 16, 16},       {4097, 3000, 0, 16, 16},
      {1, 12800, 12800, 16, 16},     {1, 273100, 273100, 16, 16}};
  for (const auto &[taps, frames, declared, in_bits, out_bits] : jobs) {
    // Random Gaussian taps of gain about 1.2 (two columns when taps is odd)
    // on random bytes, with a partial frame at the end: half a 16-bit sample,
    // or a stereo frame's first sample alone.
    const int channels = taps % 3 ? 2 : 1;
    std::normal_distribution<double> normal(0, 1.2 / std::sqrt(taps));
    const int bytes = frames * channels * in_bits / 8 + (channels == 2 ? in_bits / 8 : 1);
    job j{{}, {}, channels, in_bits, out_bits, noise(static_cast<size_t>(bytes)), declared};
    for (int k = 0; k < taps; k++) {
      j.col1.push_back(normal(random_bits));
      if (taps % 2) j.col2.push_back(normal(random_bits));
    }
    expect_same(j, std::to_string(taps) + " taps, " + std::to_string(frames) + " frames",
                {1, 2, 3, 6}, "", true);
  }
}

// Long filters, of parts: 10,000 taps by both methods on every kernel
// level, 1 and 3 threads; 65,536 and 1,048,576 taps by the transform, 1 and
// 2 threads, whose blocks all keep its sums; on short inputs, whose tails
// run the columns out.
TEST_F(FastPath, MatchesTheDirectPathAtLongFilters) {
  const std::tuple<int, int, int> jobs[] = {{10000, 3000, 2}, {65536, 500, 2}, {1 << 20, 4, 1}};
  for (const auto &[taps, frames, channels] : jobs) {
    std::normal_distribution<double> normal(0, 1.0 / std::sqrt(taps));
    job j{{}, {}, channels, 16, 16, noise(static_cast<size_t>(frames * channels * 2)), 0};
    for (int k = 0; k < taps; k++)
      j.col1.push_back(normal(random_bits) * std::exp(-k * 4.0 / taps));
    const std::string what = std::to_string(taps) + " taps";
    if (taps == 10000) {
      expect_same(j, what, {1, 3}, "", true);
      continue;
    }
    const std::string direct = run_filter(j, fir_direct);
    for (const int threads : {1, 2}) {
      set_filter_method(transform_sums);
      set_filter_threads(threads);
      const std::string fast = run_filter(j, fir);
      EXPECT_TRUE(fast == direct) << what << ", " << threads
                                  << " threads: " << where_they_differ(fast, direct, j);
      EXPECT_EQ(kernel_blocks(), 0u) << what;
      EXPECT_GT(transform_blocks(), 0u) << what;
    }
  }
}

// An input that comes in chunks of every size, with stalls, gives the
// bytes it gives read at once: by both methods, on 1 and 3 threads, with
// the length declared (a chunk after the data) or read to the end, against
// the direct path; and a steady source whose pipe runs dry while blocks
// are computed, against a run from a file. Input that stalls has the
// outputs it determines written before more comes, and the run waits for
// more without spinning.
TEST_F(FastPath, MatchesTheDirectPathWhateverChunksTheInputComesIn) {
  std::normal_distribution<double> normal(0, 0.05);
  job j{{}, {}, 2, 16, 16, noise(4 * 30000), 30000};
  for (int k = 0; k < 300; k++) j.col1.push_back(normal(random_bits));
  for (const bool declared : {true, false}) {
    j.frames = declared ? 30000 : 0;
    if (declared) j.data += "LIST" + le32(4) + "abcd";
    const std::string direct = run_filter(j, fir_direct);
    for (const filter_method method : {transform_sums, kernel_sums})
      for (const int threads : {1, 3}) {
        set_filter_method(method);
        set_filter_threads(threads);
        bool held_back = true;
        double busy = 1;
        const std::string fast = run_chunked(j, random_bits(), 5000, &held_back, &busy);
        EXPECT_FALSE(held_back) << "method " << method << ", " << threads << " threads";
        EXPECT_LT(busy, 0.15) << "method " << method << ", " << threads << " threads";
        EXPECT_TRUE(fast == direct)
            << "declared " << declared << ", method " << method << ", " << threads
            << " threads: " << where_they_differ(fast, direct, j);
      }
    if (declared) j.data.resize(4 * 30000);
  }
  // 8191 taps by the transform on 2 threads: a block takes long enough to
  // be in flight at most stalls, and the block being read is filled again
  // after them.
  std::normal_distribution<double> small(0, 0.01);
  job steady{{}, {}, 2, 16, 16, noise(4 * 40000), 0};
  for (int k = 0; k < 8191; k++) steady.col1.push_back(small(random_bits));
  set_filter_method(transform_sums);
  set_filter_threads(2);
  const std::string whole = run_filter(steady, fir);
  const std::string fed = run_chunked(steady, random_bits(), 0, nullptr, nullptr, 12000);
  EXPECT_TRUE(fed == whole) << where_they_differ(fed, whole, steady);
}

// Every pair of depths, 8, 16, 24 and 32 bits and floats of 32 and 64, by
// the kernels (37 taps) and the transform (300), in stereo and mono: noise
// of every code, or floats within -1.2..+1.2 with some far beyond, some
// subnormal, and some infinite or not a number, which are read as 0. The
// mono runs also against the formulas above.
TEST_F(FastPath, MatchesTheDirectPathAtEveryDepth) {
  const int depths[] = {8, 16, 24, 32, -32, -64};
  std::uniform_real_distribution<double> value(-1.2, 1.2);
  const double odd[] = {NAN, HUGE_VAL, -HUGE_VAL, 3e38, -1e300, 1e-310, -0.0, 1e6};
  for (const int in : depths) {
    const int frames = 1500, size = std::abs(in) / 8;
    std::string data = noise(static_cast<size_t>(2 * frames * size));
    if (in < 0)
      for (size_t i = 0; i < data.size(); i += static_cast<size_t>(size)) {
        const double v = random_bits() % 64 == 0 ? odd[random_bits() % 8] : value(random_bits);
        const uint64_t bits =
            in == -32 ? std::bit_cast<uint32_t>(static_cast<float>(v)) : std::bit_cast<uint64_t>(v);
        for (int k = 0; k < size; k++)
          data[i + static_cast<size_t>(k)] = static_cast<char>(bits >> 8 * k);
      }
    for (const int out : depths)
      for (const int taps : {37, 300}) {
        std::normal_distribution<double> normal(0, 1.2 / std::sqrt(taps));
        job j{{}, {}, 2, in, out, data, frames};
        for (int k = 0; k < taps; k++) j.col1.push_back(normal(random_bits));
        const std::string what = std::to_string(in) + " to " + std::to_string(out) + ", " +
                                 std::to_string(taps) + " taps";
        expect_same(j, what, {1, 3});
        j.channels = 1;
        expect_same(j, what + ", mono", {2},
                    formulas(j.col1, data.substr(0, static_cast<size_t>(frames * size)), in, out));
      }
  }
}

// Where the lowest bits decide, and against the formulas above on mono runs:
// every code through the identity at both depths and across them; outputs on
// half a code (0.5, 0.5 and 0.25, 0.5, 0.25 on 8-bit noise, thirds on
// 16-bit), where the extended format, the roundings to double and ties to
// even decide; outputs that only the bound sends to the exact sum; sums of
// exactly +-1 and one ulp beyond; subnormal and huge weights, and weight
// sums too large for a bound, in either column; a sum just off the midpoint
// of two doubles of different codes.
TEST_F(FastPath, MatchesTheDirectPathWhereTheLowestBitsDecide) {
  std::string all8, all16;
  for (int b = 0; b < 256; b++) all8 += static_cast<char>(b);
  for (int v = -32768; v < 32768; v++) all16 += le16(v);
  const std::string noise8 = noise(20000), noise16 = noise(40000);
  const std::vector<double> one = {1}, half = {0.5, 0.5}, quarters = {0.25, 0.5, 0.25},
                            thirds(3, 1 / 3.0);
  const std::tuple<const std::vector<double> &, const std::string &, int, int> runs[] = {
      {one, all16, 16, 16},  {one, all16, 16, 8},       {one, all8, 8, 8},
      {one, all8, 8, 16},    {half, noise8, 8, 8},      {quarters, noise8, 8, 8},
      {half, noise8, 8, 16}, {thirds, noise16, 16, 16}, {half, noise16, 16, 8}};
  for (const auto &[h, codes, in_bits, out_bits] : runs)
    for (int layout = 0; layout < 4; layout++)
      expect_same({h, layout & 1 ? h : std::vector<double>{}, layout & 2 ? 2 : 1, in_bits, out_bits,
                   codes, 0},
                  "formulas, layout " + std::to_string(layout), {1, 2},
                  layout ? "" : formulas(h, codes, in_bits, out_bits));
  // h on the half code between k and k + 1, between weights of +-2^20 that
  // cancel, on full-scale samples: the double sum rounds h to a multiple of
  // 2^-33, to either side of the half code, so that only the bound sends the
  // output to the exact sum, and a bound 128 times smaller certifies codes
  // on the wrong side.
  std::string ones;
  for (int i = 0; i < 8; i++) ones += le16(32767);
  uint64_t exact = 0;
  for (int k = 16000; k < 32000; k += 250)
    for (const int side : {-1, 0, 1}) {
      double h = (2.0 * k + 2) / 65535;
      if (side != 0) h = std::nextafter(h, side);
      exact += expect_same({{0x1p20, h, -0x1p20}, {}, 1, 16, 16, ones, 0}, std::to_string(h));
      exact += expect_same({{0.5, 0, 0}, {0x1p20, h, -0x1p20}, 1, 16, 16, ones, 0}, "column 2");
      exact += expect_same({{0, 0x1p20, 0, h, 0, 0, -0x1p20, 0}, {}, 2, 16, 16, ones, 0}, "zeros");
    }
  EXPECT_GT(exact, 2 * 64u);
  // Two equal samples whose products round: weights that cancel leave only
  // the fused kernels' rounding error, which must not be taken as certain.
  const std::string full = le16(32767) + le16(-32768) + le16(0) + le16(0) + le16(32767);
  const double above1 = std::nextafter(1.0, 2.0), above_half = std::nextafter(0.5, 1.0);
  const std::vector<std::vector<double>> edges = {
      {1.0},         {above1}, {-1.0, 0, 0}, {0.5, above_half}, {5e-324},
      {1e-310, 0.5}, {1e300},  {0.5, 1e300}, {1e305, -1e305},   {1e308, 1e308}};
  for (const std::vector<double> &h : edges) {
    const std::string what = std::to_string(h[0]);
    for (const int channels : {1, 2}) expect_same({h, {}, channels, 16, 16, full + full, 0}, what);
    expect_same({std::vector<double>(h.size(), 0.5), h, 1, 16, 8, full, 0}, what + " column 2");
  }
  // 0.266 of a full-scale sample and 0.403 of code 30444 sum to just off
  // that midpoint, and onto it with the second product rounded to double.
  // Both channels: in steady state four chains at a time, at the end of the
  // input one at a time.
  std::string pairs;
  for (int i = 0; i < 64; i++) pairs += le16(30444) + le16(30444) + le16(32767) + le16(32767);
  const std::vector<double> mid = {0x1.0fda7d27d225p-2, 0x1.9d4cf2780c277p-2, 0, 0};
  expect_same({mid, {}, 2, 16, 16, pairs, 0}, "midpoint");
  expect_same({mid, {}, 2, 16, 16, pairs.substr(0, 8), 2}, "midpoint at the end");
}

// Ties for the peak are left to the double sums: an all-zero column, and a
// box over a constant input, whose every output ties the peak, take few
// exact sums, one an output channel and block or segment. A peak on half a
// percent prints as the direct path prints it: 0.505 shows 50 (50.5, even),
// the next double up 51.
TEST_F(FastPath, LeavesTiesForThePeakToTheDoubleSums) {
  std::string constant;
  for (int i = 0; i < 3 * 8192; i++) constant += le16(1000);
  const uint64_t zero =
      expect_same({std::vector<double>(300, 0.0), {}, 1, 16, 16, constant, 0}, "all-zero column");
  const uint64_t box =
      expect_same({std::vector<double>(300, 1.0 / 300), {}, 1, 16, 16, constant, 0}, "box");
  EXPECT_LT(zero, 100u);
  EXPECT_LT(box, 100u);
  const double half = 0.505, above = std::nextafter(half, 1.0);
  for (const auto &[columns, shown] :
       {std::pair{std::vector<double>{half}, "50%"}, {std::vector<double>{above}, "51%"}}) {
    const job j{columns, {}, 1, 16, 16, le16(32767) + le16(-32768), 0};
    expect_same(j, shown);
    EXPECT_NE(run_filter(j, fir).find(std::string("Peak level was ") + shown), std::string::npos);
  }
}

// A transform whose sums lie further from the kernels' than its analysis
// and the kernels' bound allow is taken to be broken: that block and those
// after it are summed by the kernels, with the same bytes. With the
// analysis's share scaled down 2^40 times, the limit is the kernels' bound
// K: sums skewed by 1.1 K trip it in every block of a run of four, by 0.5 K
// in none; at its own size, unskewed, the transform holds on all four.
TEST_F(FastPath, LeavesATransformThatBreaksItsBound) {
  std::vector<double> taps(200, 0.0);
  taps[0] = taps[199] = 0.5;
  const job j{taps, {}, 2, 8, 8, noise(3 * 2 * 8192 + 2), 0};
  set_filter_method(transform_sums);
  run_filter(j, fir);
  EXPECT_EQ(transform_blocks(), 4u);
  const double kernels_bound = column_bound(taps.data(), 200);
  test_hooks().bound_scale = 0x1p-40;
  test_hooks().skew = 1.1 * kernels_bound;
  const std::string broken = run_filter(j, fir);
  EXPECT_EQ(transform_blocks(), 0u);
  const std::string direct = run_filter(j, fir_direct);
  EXPECT_TRUE(broken == direct) << where_they_differ(broken, direct, j);
  test_hooks().skew = 0.5 * kernels_bound;
  run_filter(j, fir);
  EXPECT_EQ(transform_blocks(), 4u);
}

// The self-test before the first block passes a run's own sound plans and
// spectra, and fails each kind of damage it is there for, after which the
// run takes the kernels from its first block, with the same bytes: a
// spectrum 2^-43 off, 4 times what the analysis allows an impulse through
// this column, fails, and 2^-48 off passes; through a box of small taps an
// impulse shows 2^-40 off as less than the limit, and only the segment of
// ones, which sums all the taps, as more.
TEST_F(FastPath, SelfTestPassesSoundPlansAndFailsDamagedOnes) {
  std::vector<double> taps(200, 0.0);
  taps[0] = taps[199] = 0.5;
  const job j{taps, {}, 2, 8, 8, noise(3 * 2 * 8192 + 2), 0};
  set_filter_method(transform_sums);
  const std::string direct = run_filter(j, fir_direct);
  for (const auto &[error, passes] : {std::pair{0.0, true}, {0x1p-48, true}, {0x1p-43, false}}) {
    test_hooks().spectrum_error = error;
    const std::string shown = run_filter(j, fir);
    EXPECT_EQ(transform_blocks(), passes ? 4u : 0u) << error;
    EXPECT_TRUE(shown == direct) << where_they_differ(shown, direct, j);
  }
  test_hooks().spectrum_error = 0x1p-40;
  run_filter({std::vector<double>(200, 1.0 / 256), {}, 2, 8, 8, j.data, 0}, fir);
  EXPECT_EQ(transform_blocks(), 0u);
}

// A transform of one column prepared as a run prepares it, on one thread.
run_plan &prepared(const std::vector<double> &h) {
  static run_plan plan;
  plan.channels = plan.outputs = 1;
  plan.taps = static_cast<int>(h.size());
  plan.coef[0] = h.data();
  transform_prepare(plan, 1);
  return plan;
}

// The norm a segment's bound grows with covers every sample, in any order:
// at least the norm summed in the extended format, and little more.
TEST_F(FastPath, NormsCoverEverySample) {
  std::uniform_real_distribution<double> value(-1, 1);
  for (const int n : {4, 8, 64, 4096, 16384}) {
    std::vector<double> x(static_cast<size_t>(n));
    for (double &v : x) v = value(random_bits);
    for (int order = 0; order < 3; order++) {
      if (order == 1) std::shuffle(x.begin(), x.end(), random_bits);
      if (order == 2) x.assign(x.size(), 0.0), x[random_bits() % x.size()] = -0.75;
      long double squares = 0;
      for (const double v : x) squares += static_cast<long double>(v) * v;
      const double norm = norm_up(x.data(), n), exact = static_cast<double>(sqrtl(squares));
      EXPECT_GE(norm, exact) << n << " samples, order " << order;
      EXPECT_LE(norm, exact * (1 + (n + 8) * 0x1p-51)) << n << " samples, order " << order;
    }
  }
}

// The bound per unit of norm as steps 1 to 5 write it, from what this test
// computes itself: |G^|max of each part from its spectrum, and the H of
// the parts that share a transform (two of a column's parts, or two
// columns' parts); the chain's as step 6, the second channel of a stereo
// input rounding its sum at every addition. Two columns of 150 taps, one
// part each, on stereo input; a column of 10,000 taps, three parts, on
// mono, the last part's spectrum made alone; two equal columns share one
// spectrum.
TEST_F(FastPath, BoundsFollowTheirFormulas) {
  std::normal_distribution<double> normal(0, 0.1);
  std::vector<double> h0(150), h1(150), long_h(10000);
  for (std::vector<double> *h : {&h0, &h1, &long_h})
    for (double &v : *h) v = normal(random_bits);
  // The long double transform rounds by its own format: 2^-64 on the x87.
  const double u = 0x1p-53, ul = std::numeric_limits<long double>::epsilon() / 2;
  auto fft_error = [](int t, double unit, double mu) {
    const double gamma4 = 4 * unit / (1 - 4 * unit), eta = mu + gamma4 * (std::sqrt(2.0) + mu);
    return t * eta / (1 - t * eta);
  };
  // One plan for every preparation, held to the end as a run holds its own:
  // each preparation gives back the plans and buffers of the one before.
  static run_plan plan;
  for (const bool stereo : {true, false}) {
    plan.channels = plan.outputs = stereo ? 2 : 1;
    plan.taps = stereo ? 150 : 10000;
    plan.coef[0] = stereo ? h0.data() : long_h.data();
    plan.coef[1] = h1.data();
    transform_prepare(plan, 1);
    ASSERT_GT(plan.segment, 0);
    const transform_state &ts = plan.transform;
    const int size = ts.size, t = ts.log2_size, parts = ts.parts;
    ASSERT_EQ(parts, stereo ? 1 : 3);
    auto part_h = [&](int c, int p) {
      long double sum = 0;
      for (int k = p * ts.part; k < std::min(plan.taps, (p + 1) * ts.part); k++)
        sum += std::fabs(plan.coef[c][k]);
      return sum;
    };
    for (int c = 0; c < plan.outputs; c++) {
      long double column_h = 0;
      for (int p = 0; p < parts; p++) column_h += part_h(c, p);
      for (int p = 0; p < parts; p++) {
        double top = 0;
        for (int k = 0; k <= size / 2; k++) {
          const double *g = ts.spectra[c][p * ts.stride + k];
          top = std::max(top, std::hypot(g[0], g[1]));
        }
        EXPECT_GE(ts.largest[c][p], top);
        EXPECT_LE(ts.largest[c][p], top * (1 + 0x1p-50) + 0x1p-1060);
        // Parts 0 and 1 share a transform, part 2 has one alone.
        const double pair_h = static_cast<double>(stereo  ? part_h(0, 0) + part_h(1, 0)
                                                  : p < 2 ? part_h(0, 0) + part_h(0, 1)
                                                          : part_h(0, 2));
        const double sums = (parts - 1) * u / (1 - (parts - 1) * u);
        const double per_norm =
            256 * (1 + 1e-6) *
            (size * ts.largest[c][p] *
                 (2 * fft_error(t, u, u) + std::sqrt(2.0) * 2 * u / (1 - 2 * u) + sums + u) +
             (fft_error(t, ul, 0x1p-58) + ul) * std::sqrt(static_cast<double>(size)) * pair_h);
        EXPECT_NEAR(ts.per_norm[c][p], per_norm, per_norm * 0x1p-48) << stereo << c << p;
      }
      const double steps =
          stereo && c == 1 ? plan.taps * (u + 0x1p-63) + 0x1p-64 : (plan.taps + 1) * 0x1p-64;
      const double chain = steps * static_cast<double>(column_h) * (1 + 0x1p-10);
      EXPECT_NEAR(ts.chain[c], chain, chain * 0x1p-48) << stereo << c;
    }
  }
  // Two equal columns, wherever they lie, share one spectrum.
  const std::vector<double> again = h0;
  plan.channels = plan.outputs = 2;
  plan.taps = 150;
  plan.coef[0] = h0.data();
  plan.coef[1] = again.data();
  transform_prepare(plan, 1);
  EXPECT_EQ(plan.transform.columns, 1);
}

// What a segment's bound is made of, each against a computation of its own
// here on small columns (a box, Gaussian taps, a windowed sinc): H, the sum
// of the |taps|; the spectrum G^ against the transform of h / L summed out
// in long double, within a few hundred ulps, and |G^|max as large as its
// largest part; and the bound per unit of norm, without the safety factor,
// as large as the errors of impulses at every eighth position and of noise
// against their sums in long double. A column 2^-600 times another has its
// bound 2^-600 times as large, as its spectrum's size is, whose squares
// would underflow.
TEST_F(FastPath, BoundsTheTransformFromItsOwnInputs) {
  std::normal_distribution<double> normal(0, 0.1);
  std::uniform_real_distribution<double> value(-1, 1);
  std::vector<double> box(200, 1.0 / 256), gaussian(150), sinc(700);
  for (double &h : gaussian) h = normal(random_bits);
  for (size_t k = 0; k < sinc.size(); k++) {
    const double x = (static_cast<double>(k) - 349.5) * 0.2 * M_PI;
    sinc[k] = std::sin(x) / x * (0.54 - 0.46 * std::cos(2 * M_PI * k / 699.0)) * 0.2;
  }
  for (const std::vector<double> *column : {&box, &gaussian, &sinc}) {
    const std::vector<double> &h = *column;
    const int taps = static_cast<int>(h.size());
    const run_plan &plan = prepared(h);
    ASSERT_GT(plan.segment, 0);
    const transform_state &ts = plan.transform;
    const int size = ts.size;
    long double sum = 0;
    for (const double v : h) sum += std::fabs(v);
    const double big_h = static_cast<double>(sum);
    EXPECT_NEAR(ts.h[0], big_h, big_h * 0x1p-52) << taps << " taps";
    std::vector<long double> cosine(static_cast<size_t>(size)), sine(cosine.size());
    for (int j = 0; j < size; j++) {
      const long double angle = -2 * 3.14159265358979323846264338327950288L * j / size;
      cosine[static_cast<size_t>(j)] = cosl(angle);
      sine[static_cast<size_t>(j)] = sinl(angle);
    }
    double largest = 0, off = 0;
    for (int k = 0; k <= size / 2; k++) {
      long double re = 0, im = 0;
      for (int m = 0; m < taps; m++) {
        const size_t turn = static_cast<size_t>((int64_t{m} * k) % size);
        re += h[m] * cosine[turn] / size;
        im += h[m] * sine[turn] / size;
      }
      const double *g = ts.spectra[0][k];
      largest = std::max(largest, std::hypot(g[0], g[1]));
      off = std::max(off, static_cast<double>(hypotl(g[0] - re, g[1] - im)));
    }
    EXPECT_GE(ts.largest[0][0], largest) << taps << " taps";
    EXPECT_LE(off, 0x1p-52 * largest + (taps + 64) * 0x1p-60 * big_h) << taps << " taps";
    const double per_norm = ts.per_norm[0][0] / 256;  // without the safety factor
    std::vector<double> x(static_cast<size_t>(size)), sums(static_cast<size_t>(size));
    double worst = 0;
    for (int window = 0; window < size / 8 + 4; window++) {
      if (window < size / 8) {
        std::fill(x.begin(), x.end(), 0.0);
        x[static_cast<size_t>(8 * window)] = 1;
      } else {
        for (double &v : x) v = value(random_bits);
      }
      const double *in[] = {x.data()};
      double *to[] = {sums.data()}, bound[1], *bounds[] = {bound};
      transform_block(plan, 0, in, plan.segment, to, bounds, 1);
      const double norm = norm_up(x.data(), size);
      for (int i = 0; i < plan.segment; i++) {
        // An impulse's sums are the taps it meets.
        long double y = 0;
        if (window < size / 8) {
          const int k = i + taps - 1 - 8 * window;
          y = k >= 0 && k < taps ? h[static_cast<size_t>(k)] : 0;
        } else {
          for (int k = 0; k < taps; k++) y += static_cast<long double>(h[k]) * x[i + taps - 1 - k];
        }
        worst = std::max(worst, std::fabs(sums[i] - static_cast<double>(y)) / norm);
      }
    }
    EXPECT_LE(worst, per_norm + taps * 0x1p-60 * big_h) << taps << " taps";
  }
  std::vector<double> x(1024, 0.25), sums(1024), tiny(200, 0x1p-608);
  double bounds[2][1];
  for (const std::vector<double> *h : {&box, &tiny}) {
    const run_plan &plan = prepared(*h);
    EXPECT_EQ(plan.segment, 825);
    const double *in[] = {x.data()};
    double *to[] = {sums.data()}, *bound[] = {bounds[h == &tiny]};
    transform_block(plan, 0, in, 825, to, bound, 1);
  }
  EXPECT_NEAR(bounds[1][0] / bounds[0][0], 0x1p-600, 0x1p-610);
}

// Their bounds are small enough that 16-bit noise through a long column
// takes the exact sum for few outputs, mostly candidates for the peak, by
// either method, written as codes of 16, 24 and 32 bits or as 32-bit
// floats.
TEST_F(FastPath, SendsFewOutputsToTheExactSum) {
  std::normal_distribution<double> normal(0, 0.05);
  job noisy{{}, {}, 2, 16, 16, noise(4 * 3 * 8192), 0};
  for (int k = 0; k < 400; k++) noisy.col1.push_back(normal(random_bits));
  for (const filter_method method : {transform_sums, kernel_sums})
    for (const int out : {16, 24, 32, -32}) {
      set_filter_method(method);
      noisy.out_bits = out;
      run_filter(noisy, fir);
      EXPECT_GT(method == transform_sums ? transform_blocks() : kernel_blocks(), 0u);
      // A 32-bit code is 2^-31 wide, not many times the kernels' bound.
      EXPECT_LT(exact_outputs(), 2 * 3 * 8192 / (out == 32 ? 50u : 1000u))
          << out << " bits out, method " << method;
    }
}

// The fast path is taken where it should be, on one thread and on two: at
// 1000 taps on an input whose length isn't known every block is the
// transform's, at 31 taps every block the kernels'. A run that falls back
// without a fault to fall back for fails here.
TEST_F(FastPath, TakesTheMethodItChooses) {
  std::normal_distribution<double> normal(0, 0.02);
  for (const int taps : {31, 1000, 8191})
    for (const int threads : {1, 2}) {
      job j{{}, {}, 2, 16, 16, noise(4 * 24 * 8192), 0};
      for (int k = 0; k < taps; k++) j.col1.push_back(normal(random_bits));
      set_filter_threads(threads);
      run_filter(j, fir);
      const uint64_t blocks = transform_blocks() + kernel_blocks();
      EXPECT_GT(blocks, 2u);
      EXPECT_EQ(taps > 150 ? transform_blocks() : kernel_blocks(), blocks)
          << taps << " taps, " << threads << " threads";
    }
}

// Each kernel really runs, its blocked passes too (200 outputs: three of
// AVX-512's 64 and the rest; 37 taps, not a multiple of its 16), and its
// sums lie within the column's bound of the exact ones: the portable kernel
// sums one chain of rounded products in order, the others fuse theirs, so
// many of their sums differ from its.
TEST_F(FastPath, RunsEveryKernelItClaims) {
  std::uniform_real_distribution<double> value(-1, 1);
  const int taps = 37, n = 3 * 64 + KERNEL_OUTPUTS;
  std::vector<double> h(taps), reversed(taps), x(n + taps), portable(n), sums(n);
  for (double &v : h) v = value(random_bits);
  for (double &v : x) v = value(random_bits);
  std::reverse_copy(h.begin(), h.end(), reversed.begin());
  const double bound = column_bound(h.data(), taps);
  for (int level = portable_kernels; level <= best_kernel_level(); level++) {
    ASSERT_EQ(set_kernel_level(static_cast<kernel_level>(level)), level);
    block_sums(reversed.data(), x.data(), taps, n, sums.data());
    if (level == portable_kernels) portable = sums;
    int unlike_portable = 0;
    for (int i = 0; i < n; i++) {
      unlike_portable += sums[i] != portable[i];
      const double exact = static_cast<double>(
          exact_sum(h.data(), &x[i + taps - 1], 0, taps - 1, {nullptr, nullptr}, false, 0));
      ASSERT_LE(std::fabs(sums[i] - exact), bound) << "kernel " << level << ", output " << i;
    }
    if (level != portable_kernels) {
      EXPECT_GT(unlike_portable, n / 10) << "kernel " << level;
    }
    // Outputs summed one by one, as those the transform leaves open are.
    const int at[] = {0, 7, 8, 99, n - 1};
    double alone[5];
    sums_at(reversed.data(), x.data(), taps, at, 5, alone);
    for (int j = 0; j < 5; j++) {
      const double exact = static_cast<double>(
          exact_sum(h.data(), &x[at[j] + taps - 1], 0, taps - 1, {nullptr, nullptr}, false, 0));
      EXPECT_LE(std::fabs(alone[j] - exact), bound) << "kernel " << level << ", output " << at[j];
      EXPECT_NEAR(alone[j], sums[at[j]], 2 * bound);
    }
  }
}

// The threads of this process named name, as the system lists them.
int threads_named(const std::string &name) {
  int count = 0;
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    count += std::getline(comm, line) && line == name;
  }
  return count;
}

// A thread a run starts is one thread, and wherever it was started it may
// then run wherever the process may: a thread left on the processors it
// started on would share them with the next.
TEST(Threads, MayRunWhereverTheProcessMay) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  static std::atomic<bool> released;
  released = false;
  pthread_t thread;
  auto wait = [](void *) -> void * {
    while (!released) std::this_thread::yield();
    return nullptr;
  };
  // A thread first, so that any the runtime starts beside a process's
  // first (a sanitizer's) is started under this thread's own name; the
  // threads started next take the name this thread has then.
  std::thread([] {}).join();
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  pthread_setname_np(pthread_self(), "one-start");
  const bool started = start_thread(thread, wait, nullptr, 1 << 16);
  const int named = threads_named("one-start");
  pthread_setname_np(pthread_self(), name);
  ASSERT_TRUE(started);
  EXPECT_EQ(named, 2);
  cpu_set_t thread_may;
  const int got = pthread_getaffinity_np(thread, sizeof thread_may, &thread_may);
  released = true;
  pthread_join(thread, nullptr);
  ASSERT_EQ(got, 0);
  EXPECT_TRUE(CPU_EQUAL(&thread_may, &process))
      << CPU_COUNT(&thread_may) << " of " << CPU_COUNT(&process) << " processors";
}

}  // namespace
