// The filter engine: layouts, fill, steady and tail phases, stopping, progress, peak and clipping.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/support.h"
#include "wav/wav.h"

namespace {

std::string codes16(std::initializer_list<int> values) {
  std::string bytes;
  for (const int v : values) bytes += le16(v);
  return bytes;
}

// The full convolution as a plain loop over output frames and taps, each sum
// from coefficient 0 up; channel 2 of a stereo input keeps its running sum in
// double, every other sum is extended.
std::string convolve(const job &j, int n) {
  const int taps = static_cast<int>(j.col1.size());
  std::vector<double> x[2];
  FILE *in = stream_of(j.data);
  for (int t = 0; t < n * j.channels; t++)
    read_sample(in, j.in_bits, &x[t % j.channels].emplace_back());
  fclose(in);
  FILE *out = tmpfile();
  for (int t = 0; t < n + taps - 1; t++) {
    for (int c = 0; c < (j.channels == 2 || !j.col2.empty() ? 2 : 1); c++) {
      const std::vector<double> &h = c == 0 || j.col2.empty() ? j.col1 : j.col2;
      long double sum = 0;
      for (int k = std::max(0, t - n + 1); k < taps && k <= t; k++) {
        sum += static_cast<long double>(h[k]) * x[j.channels == 2 ? c : 0][t - k];
        if (j.channels == 2 && c == 1) sum = static_cast<double>(sum);
      }
      write_sample(static_cast<double>(sum), j.out_bits, out);
    }
  }
  return contents(out);
}

TEST(Filter, PassesScalesAndDelaysTheInput) {
  const std::string in16 = codes16({-32768, -1, 0, 1, 12345, 32767});
  EXPECT_EQ(run_filter({{1.0}, {}, 1, 16, 16, in16, 6}).out, in16);
  // One coefficient 0.5: (v - 0.5) / 2 rounds to the floor of v / 2.
  EXPECT_EQ(run_filter({{0.5}, {}, 1, 16, 16, in16, 6}).out,
            codes16({-16384, -1, 0, 0, 6172, 16383}));
  // 0 then 1: the code for 0.0 first, then the input, N + 1 frames.
  const filtered late = run_filter({{0, 1}, {}, 1, 8, 8, "\x01\x80\xfe", 3});
  EXPECT_EQ(late.out, "\x80\x01\x80\xfe");
  EXPECT_EQ(late.written, 4u);
  // Two columns on stereo input, to 8 bits: v = 257 b - 32768 back to b.
  EXPECT_EQ(run_filter({{1}, {-1}, 2, 16, 8, codes16({257 * 16 - 32768, 257 * 16 - 32768}), 1}).out,
            "\x10\xef");
}

// Every layout and depth against the plain convolution, with the input
// shorter than, as long as, and longer than the filter.
TEST(Filter, MatchesThePlainConvolutionInEveryPhase) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> coefficient(-0.6, 0.6);
  for (const int taps : {1, 2, 3, 8})
    for (const int n : {0, 1, 7, 8, 9, 40})
      for (int layout = 0; layout < 8; layout++) {
        const int bits = layout < 4 ? 8 : 16;
        job j{{}, {}, layout % 4 < 2 ? 1 : 2, bits, 24 - bits, "", static_cast<uint32_t>(n)};
        for (int k = 0; k < taps; k++) {
          j.col1.push_back(coefficient(random));
          if (layout % 2) j.col2.push_back(coefficient(random));
        }
        for (int i = 0; i < n * j.channels * bits / 8; i++) j.data += static_cast<char>(random());
        const filtered got = run_filter(j);
        EXPECT_EQ(got.written, static_cast<uint32_t>(n + taps - 1));
        EXPECT_EQ(got.out, convolve(j, n))
            << taps << " taps, " << n << " frames, layout " << layout;
      }
}

TEST(Filter, StopsReadingWhereTheInputStops) {
  // At the declared count: the next chunk's bytes stay unread.
  const filtered declared = run_filter({{1, 0.5}, {}, 1, 8, 8, "\x10\x20\x30LIST", 3});
  EXPECT_EQ(declared.written, 4u);
  EXPECT_EQ(declared.next, 'L');
  // Shorter than declared: the frames read and the tail; the partial frame is dropped.
  EXPECT_EQ(run_filter({{1, 0}, {}, 2, 16, 16, codes16({1, 2, 3}), 10}).out, codes16({1, 2, 0, 0}));
  // Declared 0 never matches: the input is read to its end.
  EXPECT_EQ(run_filter({{1}, {}, 1, 8, 8, "\x01\x02\x03", 0}).written, 3u);
  // An empty data chunk: the tail alone, all the code for 0.0.
  const filtered empty = run_filter({{0.5, 0.5, 0.5}, {}, 1, 8, 8, "", 0});
  EXPECT_EQ(empty.out, "\x80\x80");
  EXPECT_EQ(empty.err, "\rPeak level was 0%.\n");
}

std::string progress(uint32_t from, uint32_t to, uint32_t step, uint32_t frames) {
  std::string lines;
  char text[32];
  for (uint32_t c = from; c <= to; c += step) {
    snprintf(text, sizeof text, "\r%3u%% done", c * 100 / frames);
    lines += text;
  }
  return lines;
}

TEST(Filter, ReportsProgressInTheSteadyPhase) {
  const std::string quiet(1000, '\x80');
  const std::string peak = "\rPeak level was 0%.\n";
  EXPECT_EQ(run_filter({{1}, {}, 1, 8, 8, quiet.substr(0, 100), 100}).err, peak);
  // 101 frames: every frame of the steady phase, from frame 2 on.
  EXPECT_EQ(run_filter({{1}, {}, 1, 8, 8, quiet.substr(0, 101), 101}).err,
            progress(2, 101, 1, 101) + peak);
  // 1000 frames through 31 taps: every 10 frames from frame 40, to 100%.
  EXPECT_EQ(run_filter({std::vector<double>(31, 0.0), {}, 1, 8, 8, quiet, 1000}).err,
            progress(40, 1000, 10, 1000) + peak);
}

TEST(Filter, ReportsThePeakAndClipping) {
  const filtered loud = run_filter({{1.2}, {}, 1, 8, 8, "\xff\x80", 2});
  EXPECT_EQ(loud.out, "\xff\x80");
  EXPECT_EQ(loud.err, "\rPeak level was 120%.\n\n*** tapsum: Warning: output file was clipped.\n");
  // The peak covers channel 2 and the tail; exactly full scale is not clipping.
  const filtered full = run_filter({{0, 1}, {}, 2, 16, 16, codes16({0, 32767}), 1});
  EXPECT_EQ(full.out, codes16({0, 0, 0, 32767}));
  EXPECT_EQ(full.err, "\rPeak level was 100%.\n");
}

}  // namespace
