// The fast path against the direct path's exact arithmetic: every output byte and report line.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "tests/support.h"
#include "wav/wav.h"

namespace {

// Runs the job through the direct path and through fir with every kernel
// the processor has, on each of the thread counts; every output byte, the
// frames written, the next input byte and every stderr line must match.
// Returns how many outputs of the last fast run took the exact sum.
uint64_t expect_same(const job &j, const testing::Message &what,
                     std::initializer_list<int> threads = {1}) {
  const filtered direct = run_filter(j, fir_direct);
  for (const int count : threads) {
    filter_threads(count);
    for (int level = 0; level <= simd_level(2); level++) {
      simd_level(level);
      const filtered fast = run_filter(j, fir);
      const std::string where =
          (testing::Message() << what << ", kernel " << level << ", " << count << " threads")
              .GetString();
      EXPECT_EQ(fast.err, direct.err) << where;
      EXPECT_EQ(fast.written, direct.written) << where;
      EXPECT_EQ(fast.next, direct.next) << where;
      EXPECT_EQ(fast.out.size(), direct.out.size()) << where;
      size_t i = 0;
      while (i < fast.out.size() && i < direct.out.size() && fast.out[i] == direct.out[i]) i++;
      if (i < fast.out.size() && i < direct.out.size())
        ADD_FAILURE() << where << ": output byte " << i << " of " << fast.out.size() << " is "
                      << (fast.out[i] & 0xFF) << ", not " << (direct.out[i] & 0xFF);
    }
  }
  filter_threads(0);
  simd_level(2);
  return exact_outputs();
}

std::string noise(std::mt19937 &random, size_t bytes) {
  std::string data;
  while (data.size() < bytes) data += static_cast<char>(random());
  return data;
}

// Every layout and depth pair, with random filters of 1 to 8192 taps whose
// gain sometimes clips, on inputs shorter and longer than the filter.
TEST(FastPath, MatchesTheDirectPathOnRandomFilters) {
  std::mt19937 random(2026);
  std::normal_distribution<double> normal;
  int round = 0;
  uint64_t outputs = 0;
  uint64_t exact = 0;  // of the last kernel
  for (const int taps : {1, 2, 3, 7, 31, 64, 255, 1000, 8192}) {
    for (int layout = 0; layout < 4; layout++) {
      for (const int depths : {layout % 2, 2 + layout / 2}) {  // all four pairs across layouts
        round++;
        job j{{}, {}, layout < 2 ? 1 : 2, depths < 2 ? 8 : 16, depths % 2 ? 16 : 8, "", 0};
        for (int k = 0; k < taps; k++) {
          j.col1.push_back(1.6 / std::sqrt(taps) * normal(random));
          if (layout % 2) j.col2.push_back(1.6 / std::sqrt(taps) * normal(random));
        }
        const uint32_t n = taps > 1000 ? 150 + round % 2 * taps : taps / 2 + 140 + round % 3 * taps;
        j.data = noise(random, n * j.channels * j.in_bits / 8);
        j.frames = round % 5 == 0 ? 0 : n;
        outputs += (n + taps - 1) * (j.channels == 2 || layout % 2 ? 2 : 1);
        exact += expect_same(j, testing::Message() << taps << " taps, layout " << layout << ", "
                                                   << j.in_bits << " to " << j.out_bits << " bits");
      }
    }
  }
  // The exact sums are for the first outputs, while the peak grows, and for
  // rare doubtful codes: the fast path decides nearly all.
  EXPECT_LT(exact * 20, outputs) << exact << " of " << outputs << " outputs took the exact sum";
}

// Filters whose outputs land on half a code: 0.5, 0.5 and 0.25, 0.5, 0.25 on
// 8-bit input, thirds on 16-bit input. There the lowest bits decide: plain
// double arithmetic rounds many the other way, and channel 2 of a stereo
// input, rounding its running sum to double, some (here both channels carry
// the same samples).
TEST(FastPath, MatchesTheDirectPathOnTies) {
  std::mt19937 random(5);
  const std::vector<std::vector<double>> filters = {
      {0.5, 0.5}, {0.25, 0.5, 0.25}, {1 / 3.0, 1 / 3.0, 1 / 3.0}};
  for (size_t f = 0; f < filters.size(); f++) {
    const int bits = f < 2 ? 8 : 16;
    for (int layout = 0; layout < 4; layout++) {
      const int channels = layout < 2 ? 1 : 2;
      job j{filters[f], {}, channels, bits, bits, noise(random, 3000 * bits / 8), 3000};
      if (layout % 2) j.col2 = {filters[f].rbegin(), filters[f].rend()};
      if (channels == 2) {
        std::string twice;
        for (size_t i = 0; i < j.data.size(); i += bits / 8)
          twice += j.data.substr(i, bits / 8) + j.data.substr(i, bits / 8);
        j.data = twice;
      }
      expect_same(j, testing::Message() << "filter " << f << ", layout " << layout);
    }
  }
  // The ties are there to decide: on 8-bit stereo through 0.25, 0.5, 0.25.
  const std::string data = noise(random, 20000);
  std::string twice;
  for (const char b : data) twice += std::string(2, b);
  const std::string out = run_filter({filters[1], {}, 2, 8, 8, twice, 0}).out;
  int unlike_double = 0;
  int unlike_channels = 0;
  for (size_t t = 2; t < data.size(); t++) {
    double plain = 0;
    for (size_t k = 0; k < 3; k++) plain += filters[1][k] * ((data[t - k] & 0xFF) * 2 / 255.0 - 1);
    unlike_double += (out[2 * t] & 0xFF) != rint((plain + 1) * 255 / 2);
    unlike_channels += out[2 * t] != out[2 * t + 1];
  }
  EXPECT_GT(unlike_double, 100);
  EXPECT_GT(unlike_channels, 10);
}

// One tap h = (2c + 2) / (2w + 1) on 16-bit code w gives the half code between
// codes c and c + 1. Between weights of +-2^20 on full-scale samples, which
// cancel, the double sum keeps fewer bits of h's term than the extended sum:
// for about half of these the two fall on either side of the half code, and
// only the bound sends them to the exact sum. Also h one ulp either side.
TEST(FastPath, MatchesTheDirectPathOnAndBesideHalfCodes) {
  const int w = 7;
  std::string data;
  for (int i = 0; i < 8; i++) data += le16(32767) + le16(32767) + le16(w);
  uint64_t exact = 0;
  for (int c = 0; c < 64; c++) {
    const double half = (2.0 * c + 2) / (2.0 * w + 1);
    for (const double h : {std::nextafter(half, 0.0), half, std::nextafter(half, 2.0)}) {
      exact += expect_same({{h, 0x1p20, -0x1p20}, {}, 1, 16, 16, data, 0}, testing::Message() << h);
      exact += expect_same({{0x1p20, h, -0x1p20}, {}, 1, 16, 16, data, 0}, testing::Message() << h);
    }
  }
  EXPECT_GT(exact, 3 * 64u);
}

// Sums of exactly +-1 do not clip, one ulp beyond does; subnormal, huge and
// non-finite weights, for which the bound must hold or not be used.
TEST(FastPath, MatchesTheDirectPathAtTheEdges) {
  const std::string full = le16(32767) + le16(-32768) + le16(0) + le16(32767);
  const double beyond = std::nextafter(1.0, 2.0);
  const std::vector<std::vector<double>> filters = {
      {1.0},         {beyond},       {-1.0, 0, 0},    {0.5, std::nextafter(0.5, 1.0)},
      {1e-310, 0.5}, {5e-324},       {1e300},         {0.5, 1e300},
      {1e305},       {1e308, 1e308}, {INFINITY, 0.5}, {NAN, 0.5}};
  for (size_t f = 0; f < filters.size(); f++) {
    for (const int channels : {1, 2})
      expect_same({filters[f], {}, channels, 16, 16, full + full, 0},
                  testing::Message() << "filter " << f << ", channels " << channels);
    expect_same({filters[f], std::vector<double>(filters[f].size(), 0.5), 1, 16, 8, full, 0},
                testing::Message() << "filter " << f << ", two columns");
  }
  // A huge or infinite weight in 40 taps: the whole run takes exact sums.
  std::mt19937 random(3);
  std::vector<double> h(40, 0.01);
  for (const double odd : {1e305, static_cast<double>(INFINITY)}) {
    h[17] = odd;
    for (const int channels : {1, 2})
      expect_same({h, {}, channels, 16, 16, noise(random, 1000 * channels), 500},
                  testing::Message() << odd << ", channels " << channels);
  }
  // A rising signal raises the peak on almost every frame.
  std::string rising;
  for (int v = 0; v < 32768; v += 3) rising += le16(v);
  expect_same({{0.3, 0.3, 0.3, 0.1}, {}, 1, 16, 16, rising, 0}, testing::Message("rising"));
}

// Blocks of 8192 frames shared out over 1, 2 and 3 threads: inputs of a
// block less one frame to several blocks, the declared count at and off the
// boundaries, filters shorter and longer than the block, the tail crossing
// one. Codes on half a code (0.25, 0.5, 0.25 on 8-bit) keep the exact sums
// busy in every block.
TEST(FastPath, MatchesTheDirectPathAcrossBlocksAndThreads) {
  std::mt19937 random(11);
  std::normal_distribution<double> normal;
  struct shape {
    int taps;
    int frames;
    uint32_t declared;  // 0: read to the end
    int layout;         // bit 0: two columns, bit 1: stereo input
    int in_bits;
  };
  const shape shapes[] = {
      {1, 8191, 8191, 0, 16},       {2, 8192, 0, 1, 8},          {3, 8193, 8193, 2, 16},
      {31, 3 * 8192 + 5, 0, 3, 16}, {300, 2 * 8192, 9000, 0, 8}, {8192, 8192 - 4500, 0, 2, 16},
      {3, 3 * 8192, 0, 0, 8},
  };
  for (const shape &sh : shapes) {
    job j{{}, {}, sh.layout & 2 ? 2 : 1, sh.in_bits, 24 - sh.in_bits, "", sh.declared};
    const bool ties = sh.taps == 3 && sh.in_bits == 8;
    for (int k = 0; k < sh.taps; k++) {
      j.col1.push_back(ties ? (k == 1 ? 0.5 : 0.25) : 1.2 / std::sqrt(sh.taps) * normal(random));
      if (sh.layout & 1) j.col2.push_back(1.2 / std::sqrt(sh.taps) * normal(random));
    }
    if (ties) j.out_bits = 8;
    j.data = noise(random, static_cast<size_t>(sh.frames) * j.channels * j.in_bits / 8 + 1);
    expect_same(j, testing::Message() << sh.taps << " taps, " << sh.frames << " frames", {1, 2, 3});
  }
}

// Each kernel really runs and keeps the error bound the certification
// assumes: at most taps + 1 roundings of 2^-53 on any path of a sum. The
// portable kernel is one chain of rounded products in order; the others
// fuse their multiply-adds, so many of their sums differ from it.
TEST(FastPath, RunsEveryKernelItClaims) {
  std::mt19937 random(4);
  std::uniform_real_distribution<double> value(-1, 1);
  for (const int taps : {5, 37, 300}) {
    const int n = 5 * KERNEL_OUTPUTS + 64;
    std::vector<double> h(taps);
    std::vector<double> x(n + taps);
    for (double &v : h) v = value(random);
    for (double &v : x) v = value(random);
    const int best = simd_level(2);
    for (int level = 0; level <= best; level++) {
      ASSERT_EQ(simd_level(level), level);
      std::vector<double> sums(n);
      block_sums(h.data(), x.data(), taps, n, sums.data());
      int unlike_portable = 0;
      for (int i = 0; i < n; i++) {
        double chain = 0;
        long double exact = 0;
        long double magnitudes = 0;
        for (int m = 0; m < taps; m++) {
          const double product = h[m] * x[i + m];
          chain = chain + product;
          exact += static_cast<long double>(h[m]) * x[i + m];
          magnitudes += fabsl(static_cast<long double>(h[m]) * x[i + m]);
        }
        if (level == 0) {
          ASSERT_EQ(sums[i], chain) << taps << " taps, output " << i;
        }
        EXPECT_LE(fabsl(sums[i] - exact), (taps + 1) * 0x1.01p-53L * magnitudes)
            << "kernel " << level << ", " << taps << " taps, output " << i;
        unlike_portable += sums[i] != chain;
      }
      if (level > 0) {
        EXPECT_GT(unlike_portable, n / 10) << "kernel " << level << ", " << taps << " taps";
      }
    }
    simd_level(2);
  }
}

// The block decoder gives read_sample's values for every code, at both
// depths, mono and stereo: the extended-format formulas rounded to double.
TEST(Codec, DecodesBlocksAsTheFormulasSay) {
  std::string bytes;
  for (int v = -32768; v < 32768; v++) bytes += le16(v);
  std::vector<double> ch1(65536);
  std::vector<double> ch2(32768);
  decode_frames(reinterpret_cast<const unsigned char *>(bytes.data()), 16, 1, 65536, ch1.data(),
                nullptr);
  for (int v = -32768; v < 32768; v++) {
    const long double code = v;
    ASSERT_EQ(ch1[v + 32768], static_cast<double>((2 * code + 1) / 65535)) << "code " << v;
  }
  decode_frames(reinterpret_cast<const unsigned char *>(bytes.data()), 16, 2, 32768, ch1.data(),
                ch2.data());
  for (int f = 0; f < 32768; f++) {
    const long double first = 2 * f - 32768;
    ASSERT_EQ(ch1[f], static_cast<double>((2 * first + 1) / 65535)) << "frame " << f;
    ASSERT_EQ(ch2[f], static_cast<double>((2 * (first + 1) + 1) / 65535)) << "frame " << f;
  }
  std::string bytes8;
  for (int b = 0; b < 256; b++) bytes8 += static_cast<char>(b);
  decode_frames(reinterpret_cast<const unsigned char *>(bytes8.data()), 8, 2, 128, ch1.data(),
                ch2.data());
  for (int b = 0; b < 256; b++) {
    const long double code = b;
    ASSERT_EQ((b % 2 ? ch2 : ch1)[b / 2], static_cast<double>(2 * code / 255 - 1)) << "byte " << b;
  }
}

}  // namespace
