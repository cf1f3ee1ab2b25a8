// The coefficient file's table rules, checked in this process.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fir_file/fir_file.h"
#include "tests/support.h"

namespace {

// Each row's text holds several rules at once, and the slips that make a
// wrong filter, each said once, at the first line it is on: a title that
// reads as a row, a comma after a number, more than two numbers, numbers
// after a blank line.
TEST(FirFile, ReadsRowsAsTheTableRulesSay) {
  std::string rows_most;
  for (int i = 0; i < MAX_FIR_SAMPLES; i++) rows_most += "0.001 1\n";
  const std::vector<double> many(MAX_FIR_SAMPLES, 0.001), ones(MAX_FIR_SAMPLES, 1);
  const struct {
    std::string text;
    std::vector<double> coef1, coef2;  // coef2 empty: one column
    std::string warning;
  } rows[] = {
      // Titles: text, blank lines, the words for infinity and NaN, numbers too
      // large, a long comment ending in a number; a first row that begins with
      // a digit; text after a number; a comma; a number cut at the 79th
      // character; a row of exactly 79; underflow to 0; a blank line ends it.
      {"lowpass\n\nInfo\n-nan\n1e400 Hz\n# " + std::string(90, '-') +
           " 100 Hz\n2 taps\n0.5 # gain\n" + "0.5,0.25\n1e-3\n" + std::string(77, ' ') + "1.25\n" +
           std::string(75, ' ') + "0.75\n1e-400\n0.5 inf\n0.5 -1e999\n-1\n\n3\n",
       {2, 0.5, 0.5, 1e-3, 1, 0.75, 0, 0.5, 0.5, -1},
       {},
       "tapsum: Warning: line 7 of FIR file 'fir.txt' reads as a row, but looks like a title.\n"
       "tapsum: Warning: line 9 of FIR file 'fir.txt' has a comma after a number, which ends the "
       "row.\n"
       "tapsum: Warning: line 17 of FIR file 'fir.txt' is blank and ends the table; the numbers "
       "after it are not read.\n"},
      // A sign or a second point separates; a third number is ignored; tabs,
      // CR LF, no final line feed; text ends the table; a byte order mark.
      {"\xEF\xBB\xBF"
       "0.1 0.2 0.3\n0.5-0.25\n0.5.25\n0.5\t0.25\r\n1 2",
       {0.1, 0.5, 0.5, 0.5, 1},
       {0.2, -0.25, 0.25, 0.25, 2},
       "tapsum: Warning: line 1 of FIR file 'fir.txt' holds more than two numbers; the first two "
       "are read.\n"},
      // Files written well, with no word: numpy's savetxt, Octave's printf,
      // a title of #, CR LF line ends, a table ended by text, then a blank
      // line and no more numbers.
      {"1.000000000000000000e+00\n-2.500000000000000000e-01\n", {1, -0.25}, {}, ""},
      {"# low-pass\r\n0.125\r\n-0.0625\r\n\r\nend\n", {0.125, -0.0625}, {}, ""},
      {"0.5 0.25\n0.75 1\nend\n\n# 3 taps\n", {0.5, 0.75}, {0.25, 1}, ""},
      // Two bytes of a byte order mark, or a whole one after the first line:
      // text, which the table can't begin with and which ends it.
      {"\357\27312\n\357\273\2773\n1\n2\n\357\273\2774\n5\n", {1, 2}, {}, ""},
      {rows_most + "7 7\n", many, ones, "tapsum: FIR file truncated (max. 1048576 samples).\n"},
      {rows_most + "end\n", many, ones, ""},
  };
  for (const auto &r : rows) {
    testing::internal::CaptureStderr();
    const fir_table shape = load_fir(memory_file(r.text), "fir.txt");
    const bool stereo = !r.coef2.empty();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              r.warning + std::to_string(r.coef1.size()) +
                  (stereo ? " FIR samples, stereo\n" : " FIR samples, mono\n"));
    EXPECT_EQ(shape.stereo, stereo);
    EXPECT_EQ(shape.columns[0], r.coef1) << r.text.substr(0, 99);
    EXPECT_EQ(shape.columns[1], r.coef2);
  }
}

// A WAV file is a table too: a column a channel, a row a frame, each code v
// of b bits the weight v / 2^(b - 1), so that 8-bit 128 is 0, each float
// its own value; the count line as for text.
TEST(FirFile, ReadsWavFilesAsTables) {
  const struct {
    int bits, tag;
    std::string samples;
    std::vector<double> weights;
  } depths[] = {
      {8, 1, std::string("\x00\x80\xff\x40", 4), {-1, 0, 127 / 128.0, -0.5}},
      {16, 1, le16(-32768) + le16(0) + le16(16384) + le16(32767), {-1, 0, 0.5, 32767 / 32768.0}},
      {24,
       1,
       std::string("\x00\x00\x80\x00\x00\x00\x00\x00\x40\xff\xff\xff", 12),
       {-1, 0, 0.5, -0x1p-23}},
      {32, 1, le32(0x80000000u) + le32(0) + le32(0x40000000) + le32(1), {-1, 0, 0.5, 0x1p-31}},
      {32, 3, le32(0x3E800000) + le32(0xC0600000) + le32(0) + le32(0x3F800000), {0.25, -3.5, 0, 1}},
      {64, 3, le64(0x3FD0000000000000) + le64(0xC00C000000000000), {0.25, -3.5}},
  };
  for (const auto &d : depths)
    for (const int channels : {1, 2}) {
      const uint32_t size = static_cast<uint32_t>(d.samples.size());
      testing::internal::CaptureStderr();
      const fir_table table = load_fir(
          memory_file(wav_header(channels, d.bits, size, 44100, d.tag) + d.samples), "ir.wav");
      std::vector<double> columns[2];
      for (size_t i = 0; i < d.weights.size(); i++)
        columns[i % static_cast<size_t>(channels)].push_back(d.weights[i]);
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                std::to_string(columns[0].size()) +
                    (channels == 2 ? " FIR samples, stereo\n" : " FIR samples, mono\n"))
          << d.bits << " bits";
      EXPECT_EQ(table.stereo, channels == 2);
      EXPECT_EQ(table.columns[0], columns[0]) << d.bits << " bits, tag " << d.tag;
      EXPECT_EQ(table.columns[1], columns[1]) << d.bits << " bits, tag " << d.tag;
    }
}

// A number converts as sscanf's "%lf%n" converts it, value and length,
// whichever way the reader takes: forms at the edges of the plain decimal
// ones it converts itself.
TEST(FirFile, ConvertsNumbersAsScanfDoes) {
  for (const char *text : {"1",
                           " -0.5 ",
                           "+.5\n",
                           "5.",
                           "5.e3 ",
                           "1e5",
                           "1e-5x",
                           "1e",
                           "1e+ 2",
                           "1.5x",
                           "0x1p3 ",
                           "12345678901234567890123",
                           "2.2250738585072011e-308",
                           "4.9e-324 ",
                           "1e-400",
                           ".e1",
                           "-",
                           "3,4",
                           "0.1\t0.2",
                           "7E+08\r\n",
                           "1e400",
                           "00012.5000 "}) {
    double want = 0, got = 0;
    int want_used = -1, got_used = -1;
    const bool converts = sscanf(text, "%lf%n", &want, &want_used) == 1 && !std::isinf(want);
    EXPECT_EQ(scan_number(text, &got, &got_used), converts ? 1 : 0) << text;
    if (converts) {
      EXPECT_EQ(got, want) << text;
      EXPECT_EQ(got_used, want_used) << text;
    }
  }
}

}  // namespace
