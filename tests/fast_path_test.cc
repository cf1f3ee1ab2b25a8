// The fast path against the direct path's exact arithmetic: every output byte and every report
// line.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "cli/tapsum.h"
#include "filter/filter.h"
#include "tests/support.h"

namespace {

struct job {
  std::vector<double> col1;
  std::vector<double> col2;  // empty: a one-column file
  int channels;
  int in_bits;
  int out_bits;
  std::string data;
  uint32_t frames;  // declared
};

struct result {
  std::string out;
  std::string err;
  uint32_t written;
};

template <typename Engine>
result run(const job &j, Engine engine) {
  const int taps = static_cast<int>(j.col1.size());
  for (int k = 0; k < taps; k++) {
    fir_coef1[k] = j.col1[k];
    fir_coef2[k] = j.col2.empty() ? j.col1[k] : j.col2[k];
  }
  FILE *in = stream_of(j.data);
  FILE *out = tmpfile();
  uint32_t written = 0;
  const std::string err = stderr_of([&] {
    written =
        engine(in, out, j.channels, j.in_bits, j.out_bits, taps, j.col2.empty() ? 0 : 1, j.frames);
  });
  fclose(in);
  return {contents(out), err, written};
}

// Runs the job through both engines, with every kernel the processor has.
// Returns how many outputs of the last fast run took the exact sum.
uint32_t expect_same(const job &j, const testing::Message &what) {
  const result direct = run(j, fir_direct);
  for (int level = 0; level <= simd_level(2); level++) {
    simd_level(level);
    const result fast = run(j, fir);
    EXPECT_EQ(fast.err, direct.err) << what << ", kernel " << level;
    EXPECT_EQ(fast.written, direct.written) << what << ", kernel " << level;
    EXPECT_EQ(fast.out.size(), direct.out.size()) << what << ", kernel " << level;
    size_t i = 0;
    while (i < fast.out.size() && i < direct.out.size() && fast.out[i] == direct.out[i]) i++;
    if (i < fast.out.size() && i < direct.out.size())
      ADD_FAILURE() << what << ", kernel " << level << ": output byte " << i << " of "
                    << fast.out.size() << " is " << (fast.out[i] & 0xFF) << ", not "
                    << (direct.out[i] & 0xFF);
  }
  simd_level(2);
  return exact_outputs();
}

std::string noise(std::mt19937 &random, size_t bytes) {
  std::string data;
  for (size_t i = 0; i < bytes; i++) data += static_cast<char>(random());
  return data;
}

const char *layout_name(int channels, bool two_columns) {
  if (channels == 1) return two_columns ? "mono input, two columns" : "mono input, one column";
  return two_columns ? "stereo input, two columns" : "stereo input, one column";
}

// Every layout and depth pair, with random filters of 1 to 8192 taps whose
// gain sometimes clips, and inputs shorter and longer than the filter.
TEST(FastPath, MatchesTheDirectPathOnRandomFilters) {
  std::mt19937 random(2026);
  std::normal_distribution<double> normal;
  int round = 0;
  uint64_t outputs = 0;
  uint64_t exact = 0;
  for (const int taps : {1, 2, 3, 7, 31, 64, 255, 1000, 8192}) {
    for (int layout = 0; layout < 4; layout++) {
      // Two depth pairs per layout, so all four turn up across the layouts.
      for (const int pair : {layout % 2, 2 + layout / 2}) {
        round++;
        const int channels = layout < 2 ? 1 : 2;
        const bool two_columns = layout % 2 == 1;
        const int in_bits = pair < 2 ? 8 : 16;
        const int out_bits = pair % 2 == 0 ? 8 : 16;
        const double gain = 1.6 / std::sqrt(taps);
        job j{{}, {}, channels, in_bits, out_bits, "", 0};
        for (int k = 0; k < taps; k++) {
          j.col1.push_back(gain * normal(random));
          if (two_columns) j.col2.push_back(gain * normal(random));
        }
        const uint32_t n = taps > 1000 ? 150 + round % 2 * taps : taps / 2 + 140 + round % 3 * taps;
        j.data = noise(random, n * channels * in_bits / 8);
        j.frames = round % 5 == 0 ? 0 : n;
        outputs += (n + taps - 1) * (channels == 2 || two_columns ? 2 : 1);
        exact += expect_same(
            j, testing::Message() << taps << " taps, " << layout_name(channels, two_columns) << ", "
                                  << in_bits << " to " << out_bits << " bits, " << n << " frames");
      }
    }
  }
  // The exact sums are for the first outputs, while the peak grows, and rare
  // doubtful codes: the fast path decides nearly all.
  EXPECT_LT(exact * 20, outputs) << exact << " of " << outputs << " outputs took the exact sum";
}

// Filters whose outputs land on half a code: 0.5, 0.5 and 0.25, 0.5, 0.25 on
// 8-bit input, thirds on 16-bit input.
TEST(FastPath, MatchesTheDirectPathOnTies) {
  std::mt19937 random(5);
  const std::vector<std::vector<double>> filters = {
      {0.5, 0.5}, {0.25, 0.5, 0.25}, {1 / 3.0, 1 / 3.0, 1 / 3.0}};
  for (size_t f = 0; f < filters.size(); f++) {
    const int bits = f < 2 ? 8 : 16;
    for (int layout = 0; layout < 4; layout++) {
      const int channels = layout < 2 ? 1 : 2;
      job j{filters[f], {}, channels, bits, bits, noise(random, 3000 * channels * bits / 8), 3000};
      if (layout % 2) j.col2 = {filters[f].rbegin(), filters[f].rend()};
      expect_same(j, testing::Message()
                         << "filter " << f << ", " << layout_name(channels, layout % 2));
    }
  }
}

// One tap h on input code w gives h * (2w + 1) / 65535; with h = (2c + 2) /
// (2w + 1) that is the half code between 16-bit codes c and c + 1. The same
// h and its neighbours one ulp away, on many inputs.
TEST(FastPath, MatchesTheDirectPathOnAndBesideHalfCodes) {
  for (const int c : {-20000, -3, 0, 5, 12345}) {
    for (const int w : {1, 7, 999, 32767}) {
      std::string data;
      for (int v = -32768; v < 32768; v += 61) data += le16(v) + le16(w);
      const double h = (2.0 * c + 2) / (2.0 * w + 1);
      for (const double tap : {std::nextafter(h, -HUGE_VAL), h, std::nextafter(h, HUGE_VAL)})
        for (const int out_bits : {16, 8})
          expect_same({{tap}, {}, 1, 16, out_bits, data, 0},
                      testing::Message() << "c " << c << ", w " << w << ", tap " << tap);
    }
  }
}

// Weights of +-2^20 on full-scale samples cancel, but the double sum keeps
// fewer bits of the term between them than the extended sum: for about half
// of these half codes the two sums fall on either side of it, and only the
// bound sends them to the direct path.
TEST(FastPath, MatchesTheDirectPathWhenWeightsCancel) {
  const int w = 7;
  std::string data;
  for (int i = 0; i < 8; i++) data += le16(32767) + le16(32767) + le16(w);
  uint32_t exact = 0;
  for (int c = 0; c < 64; c++) {
    const double h = (2.0 * c + 2) / (2.0 * w + 1);
    exact += expect_same({{h, 0x1p20, -0x1p20}, {}, 1, 16, 16, data, 0}, testing::Message()
                                                                             << "c " << c);
    exact += expect_same({{0x1p20, h, -0x1p20}, {}, 1, 16, 16, data, 0}, testing::Message()
                                                                             << "c " << c);
  }
  EXPECT_GT(exact, 64u);
}

// Sums of exactly +-1 do not clip; one ulp beyond does. Subnormal, huge and
// non-finite coefficients: the bound must hold or the direct path take over.
TEST(FastPath, MatchesTheDirectPathAtTheEdges) {
  const std::string full = le16(32767) + le16(-32768) + le16(0) + le16(32767);
  const double above = std::nextafter(1.0, 2.0);
  const std::vector<std::vector<double>> filters = {{1.0},
                                                    {above},
                                                    {-1.0, 0, 0},
                                                    {0.5, 0.5},
                                                    {0.5, std::nextafter(0.5, 1.0)},
                                                    {1e-310, 0.5},
                                                    {5e-324},
                                                    {1e-300, 1e-310},
                                                    {1e300},
                                                    {0.5, 1e300},
                                                    {1e305, -1e305},
                                                    {1e308, 1e308},
                                                    {INFINITY, 0.5},
                                                    {NAN, 0.5},
                                                    {0.5, -INFINITY}};
  for (size_t f = 0; f < filters.size(); f++) {
    for (const int channels : {1, 2})
      expect_same({filters[f], {}, channels, 16, 16, full + full, 0},
                  testing::Message() << "filter " << f << ", channels " << channels);
    expect_same({filters[f], {0.5}, 1, 16, 8, full, 0}, testing::Message() << "filter " << f);
  }
  // No bound for a column with a non-finite or huge weight: the whole run
  // takes the exact sums, four windows at a time.
  std::mt19937 random(3);
  std::uniform_real_distribution<double> weight(-0.1, 0.1);
  for (const double odd : {1e305, static_cast<double>(INFINITY)}) {
    std::vector<double> h(40);
    for (double &k : h) k = weight(random);
    h[17] = odd;
    for (const int channels : {1, 2})
      expect_same({h, {}, channels, 16, 16, noise(random, 500 * channels * 2), 500},
                  testing::Message() << "weight " << odd << ", channels " << channels);
    expect_same({std::vector<double>(40, 0.01), h, 1, 8, 8, noise(random, 500), 500},
                testing::Message() << "weight " << odd << " in column 2");
  }
  // A rising signal raises the peak on almost every frame.
  std::string rising;
  for (int v = -32768; v < 32768; v += 3) rising += le16(v < 0 ? -v - 1 : v);
  expect_same({{0.3, 0.3, 0.3, 0.1}, {}, 1, 16, 16, rising, 0}, testing::Message("rising"));
}

}  // namespace
