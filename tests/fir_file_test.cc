// The coefficient file loader: titles, columns, separators, line splitting and the row limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/tapsum.h"
#include "fir_file/fir_file.h"
#include "tests/support.h"

namespace {

struct loaded {
  fir_shape shape;
  std::string err;
};

loaded load(const std::string &text) {
  fir_shape shape{};
  const std::string err = stderr_of([&] { shape = load_fir(stream_of(text)); });
  return {shape, err};
}

std::string repeat(const std::string &row, int times) {
  std::string text;
  for (int i = 0; i < times; i++) text += row;
  return text;
}

// Only the first 79 characters of a line are scanned; the rest of it is dropped.
const std::string cut = std::string(77, ' ') + "1.25\n2\n";     // read as "1."
const std::string full = std::string(75, ' ') + "0.75\n0.5\n";  // 79 characters, then a row
const std::string comment = "# " + std::string(90, '-') + " 100 Hz\n0.5\n";

TEST(FirFile, ReadsRowsAsTheTableRulesSay) {
  struct row {
    std::string text;
    std::vector<double> coef1;
    std::vector<double> coef2;  // empty: one column
  };
  const row rows[] = {
      {"lowpass\n\n  # cut-off 1 kHz\n0.25\n0.5\n", {0.25, 0.5}, {}},  // titles skipped
      {"2 taps\n0.5\n", {2, 0.5}, {}},            // a title that begins with a digit is a row
      {"0.5 # gain\n-1\n", {0.5, -1}, {}},        // the second scan stops at '#'
      {"0.1 0.2 0.3\n", {0.1}, {0.2}},            // a third number is ignored
      {"0.5,0.25\n", {0.5}, {}},                  // a comma is not a separator
      {"0.5-0.25\n", {0.5}, {-0.25}},             // a sign starts the second number
      {"0.5.25\n", {0.5}, {0.25}},                // so does a second decimal point
      {"1e-3\n", {1e-3}, {}},                     // an exponent, not two numbers
      {"1\n2\n\n3\n", {1, 2}, {}},                // a blank line ends the table
      {"1\n2\nend\n3\n", {1, 2}, {}},             // so does text
      {"0.5\t0.25\r\n1 2", {0.5, 1}, {0.25, 2}},  // tabs, CR LF, no final line feed
      // The words for infinity and NaN are not numbers: titles stay titles.
      {"Info: test filter\nNancy's\n-inf\nnan 1\n0.5 inf\n", {0.5}, {}},
      {cut, {1, 2}, {}},
      {full, {0.75, 0.5}, {}},
      {comment, {0.5}, {}},
      {"\xEF\xBB\xBF"
       "0.5\n0.25\n",
       {0.5, 0.25},
       {}},  // a byte order mark is skipped
      // Beyond double's range is not a number either; below it is.
      {"1e400 Hz\n0.5 -1e999\n1e-400\n0x1p2000\n7\n", {0.5, 0}, {}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    const loaded got = load(r.text);
    const bool stereo = !r.coef2.empty();
    ASSERT_EQ(got.shape.taps, static_cast<int>(r.coef1.size()));
    EXPECT_EQ(got.shape.stereo, stereo ? 1 : 0);
    EXPECT_EQ(got.err, std::to_string(r.coef1.size()) +
                           (stereo ? " FIR samples, stereo\n" : " FIR samples, mono\n"));
    for (size_t n = 0; n < r.coef1.size(); n++) {
      EXPECT_EQ(fir_coef1[n], r.coef1[n]) << "row " << n;
      // A one-column file copies column 1 into column 2.
      EXPECT_EQ(fir_coef2[n], stereo ? r.coef2[n] : r.coef1[n]) << "row " << n;
    }
  }
}

TEST(FirFile, StopsAtTheRowLimit) {
  const loaded over = load(repeat("0.001\n", MAX_FIR_SAMPLES) + "7\n");
  EXPECT_EQ(over.shape.taps, MAX_FIR_SAMPLES);
  EXPECT_EQ(over.err, "tapsum: FIR file truncated (max. 8192 samples).\n8192 FIR samples, mono\n");
  EXPECT_EQ(fir_coef1[MAX_FIR_SAMPLES - 1], 0.001);

  const loaded text_after = load(repeat("0.001 1\n", MAX_FIR_SAMPLES) + "end\n");
  EXPECT_EQ(text_after.shape.taps, MAX_FIR_SAMPLES);
  EXPECT_EQ(text_after.err, "8192 FIR samples, stereo\n");
}

TEST(FirFileDeathTest, RejectsFilesWithoutAConstantTable) {
  const char bad[] = "tapsum: Bad FIR file.\n";
  const char columns[] = "tapsum: Number of columns in FIR file is not constant.\n";
  for (const auto &[text, message] : {std::pair{"", bad},
                                      {"title\n\nno numbers here\n", bad},
                                      {"0.5 0.5\n0.25\n", columns},
                                      {"0.5\n0.25 0.25\n", columns}})
    EXPECT_EXIT(load_fir(stream_of(text)), testing::ExitedWithCode(2), testing::HasSubstr(message))
        << text;
}

}  // namespace
