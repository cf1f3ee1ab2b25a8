// The built tool: command line, streams, exit statuses and the report of a whole run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

const char bad_arguments[] = "tapsum: Bad arguments. Type 'tapsum -h' for help.\n";

TEST(CommandLine, PrintsUsageForHelpAlone) {
  const run_result help = run_tool({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out,
            "tapsum - apply an FIR filter on a WAV file.\n"
            "Usage: tapsum [-8 | -16] fir-file [input-file [output-file]]\n");
  EXPECT_EQ(help.err, "");
}

TEST(CommandLine, RejectsBadArgumentCounts) {
  const std::vector<std::vector<std::string>> lines = {
      {},                               // nothing
      {"-16"},                          // an option needs a coefficient file
      {"-8", "fir", "in", "out", "x"},  // one too many after the option
      {"fir", "in", "out", "x"},        // one too many without it
      {"-h", "a", "b", "c"},            // "-h" is a file name here
  };
  for (const auto &args : lines) {
    const run_result r = run_tool(args);
    EXPECT_EQ(r.status, 1) << args.size() << " arguments";
    EXPECT_EQ(r.err, bad_arguments) << args.size() << " arguments";
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, TakesOnlyTheFirstArgumentAsAnOption) {
  // "-h" with more arguments, "-24" and "-" are coefficient file names.
  for (const char *name : {"-h", "-24", "-"}) {
    const run_result r = run_tool({name, "in.wav"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, std::string("tapsum: Can't open FIR file '") + name + "'.\n");
  }
}

// The input is opened first, so an input that can't be opened leaves the
// output as it was; the output is opened before the header is read, so a
// header that can't be used leaves it empty.
TEST(Streams, OpensTheInputFirstAndTheOutputBeforeTheHeader) {
  const std::string fir = temp_file("fir.txt", "1\n");
  const std::string out = temp_file("out.wav", "keep me");
  const std::string missing = out + ".missing";
  const run_result no_input = run_tool({fir, missing, out});
  EXPECT_EQ(no_input.status, 2);
  EXPECT_EQ(no_input.err,
            "1 FIR samples, mono\ntapsum: Can't open input file '" + missing + "'.\n");
  EXPECT_EQ(read_file(out), "keep me");

  const run_result not_wav = run_tool({fir, temp_file("text.wav", "hello, world"), out});
  EXPECT_EQ(not_wav.status, 2);
  EXPECT_EQ(not_wav.err, "1 FIR samples, mono\ntapsum: Not a WAV file.\n");
  EXPECT_EQ(read_file(out), "");

  const run_result no_output = run_tool({fir, out, missing + "/out.wav"});
  EXPECT_EQ(no_output.status, 2);
  EXPECT_EQ(no_output.err,
            "1 FIR samples, mono\ntapsum: Can't open output file '" + missing + "/out.wav'.\n");
}

TEST(Streams, RefusesToWriteOverTheInput) {
  const std::string fir = temp_file("fir.txt", "0.5\n");
  const std::string bytes = wav_header(1, 8, 2) + "\x10\x20";
  const std::string in = temp_file("in.wav", bytes);
  const std::string link = in + ".link";
  ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
  const std::string dir = in.substr(0, in.rfind('/'));
  for (const std::string &same : {in, link, dir + "/./in.wav"}) {
    const run_result r = run_tool({fir, in, same});
    EXPECT_EQ(r.status, 2) << same;
    EXPECT_EQ(r.err,
              "1 FIR samples, mono\ntapsum: Input and output are the same file '" + same + "'.\n");
    EXPECT_EQ(read_file(in), bytes) << same;
  }
}

TEST(Streams, FiltersFromAPipeToStandardOutput) {
  const std::string fir = temp_file("fir.txt", "0\n1\n");
  const std::string in = wav_header(1, 8, 3) + "\x01\x02\x03";
  const run_result r = run_tool({fir}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, wav_header(1, 8, 4) + "\x80\x01\x02\x03");
  EXPECT_EQ(r.err,
            "2 FIR samples, mono\n"
            "Input file: 3 samples, 8000 Hz, mono, 8 bits/sample.\n"
            "Output file: 4 samples, 8000 Hz, mono, 8 bits/sample.\n"
            "\rPeak level was 99%.\n"  // byte 1 is -253/255
            "4 samples written.\n");

  // A pipe can't skip: the format chunk's extra bytes end the run with status 1.
  const std::string fmt18 = "RIFF" + le32(42) + "WAVEfmt " + le32(18) +
                            wav_header(1, 8, 0).substr(20, 16) + le16(0) + "data" + le32(0);
  const run_result extra = run_tool({fir}, fmt18);
  EXPECT_EQ(extra.status, 1);
  EXPECT_EQ(extra.err, "2 FIR samples, mono\ntapsum: Corrupted header.\n");
  // The same header from a file is skipped over.
  EXPECT_EQ(run_tool({fir, temp_file("fmt18.wav", fmt18)}).status, 0);
}

// A run that lost output never exits 0. The output file is limited to 100
// bytes: the header gets through, the samples fail at the final flush or,
// past the stream's buffer, while filtering.
TEST(Streams, ReportsAFullOutputAsAFailure) {
  const std::string fir = temp_file("fir.txt", "1\n");
  const std::string small = temp_file("small.wav", wav_header(1, 8, 100) + std::string(100, 'a'));
  const std::string large =
      temp_file("large.wav", wav_header(1, 8, 100000) + std::string(100000, 'a'));
  const std::string samples = "tapsum: Can't write to output file. File system is possibly full.\n";
  for (const std::string &in : {small, large}) {
    const run_result r = run_tool({fir, in, temp_file("out.wav", "")}, "", 100);
    EXPECT_EQ(r.status, 2) << in;
    EXPECT_EQ(r.err.substr(r.err.rfind("tapsum:")), samples) << in;
    EXPECT_EQ(r.err.find("written"), std::string::npos) << in;
  }
  // An output that takes nothing fails at the header.
  const run_result header = run_tool({fir, small, "/dev/full"});
  EXPECT_EQ(header.status, 2);
  EXPECT_EQ(header.err.substr(header.err.find("tapsum:")),
            "tapsum: Can't write to file. (File system full?)\n");
}

TEST(Run, ReportsAWholeRunInOrder) {
  std::string fir = "boxcar, 31 taps of 1/31\n";
  for (int k = 0; k < 31; k++) fir += "0.0322580645\n";
  std::string data;
  for (int i = 0; i < 1000; i++) data += le16(16383);  // 32767 / 65535, just below 0.5
  const std::string out = temp_file("out.wav", "");
  const run_result r = run_tool({"-8", temp_file("fir.txt", fir),
                                 temp_file("in.wav", wav_header(1, 16, 2000, 44100) + data), out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.substr(0, r.err.find('\r')),
            "31 FIR samples, mono\n"
            "Input file: 1000 samples, 44100 Hz, mono, 16 bits/sample.\n"
            "Output file: 1030 samples, 44100 Hz, mono, 8 bits/sample.\n");
  EXPECT_EQ(r.err.substr(r.err.rfind('\r')), "\rPeak level was 50%.\n1030 samples written.\n");
  const std::string written = read_file(out);
  ASSERT_EQ(written.size(), 44u + 1030u);
  EXPECT_EQ(written.substr(0, 44), wav_header(1, 8, 1030, 44100));
  // Full windows sum to 0.5 less a little: 191.25 rounds to code 191.
  EXPECT_EQ(written.substr(44 + 30, 1000 - 30), std::string(970, '\xbf'));
}

}  // namespace
