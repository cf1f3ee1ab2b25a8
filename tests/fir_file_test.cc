// The coefficient file's table rules, checked in this process.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fir_file/fir_file.h"
#include "tests/support.h"

namespace {

// Each row's text holds several rules at once.
TEST(FirFile, ReadsRowsAsTheTableRulesSay) {
  std::string rows8192;
  for (int i = 0; i < MAX_FIR_SAMPLES; i++) rows8192 += "0.001 1\n";
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
       ""},
      // A sign or a second point separates; a third number is ignored; tabs,
      // CR LF, no final line feed; text ends the table; a byte order mark.
      {"\xEF\xBB\xBF"
       "0.1 0.2 0.3\n0.5-0.25\n0.5.25\n0.5\t0.25\r\n1 2",
       {0.1, 0.5, 0.5, 0.5, 1},
       {0.2, -0.25, 0.25, 0.25, 2},
       ""},
      // Two bytes of a byte order mark, or a whole one after the first line:
      // text, which the table can't begin with and which ends it.
      {"\357\27312\n\357\273\2773\n1\n2\n\357\273\2774\n5\n", {1, 2}, {}, ""},
      {rows8192 + "7 7\n", many, ones, "tapsum: FIR file truncated (max. 8192 samples).\n"},
      {rows8192 + "end\n", many, ones, ""},
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
    EXPECT_EQ(shape.columns[1], stereo ? r.coef2 : r.coef1);
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
