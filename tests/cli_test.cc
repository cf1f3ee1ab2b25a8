// The built tool: command line, streams, exit statuses and the report of a whole run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

const char bad_arguments[] = "tapsum: Bad arguments. Type 'tapsum -h' for help.\n";

// Alone, -h and --help print the usage and --version the version, on
// standard output.
TEST(CommandLine, AnswersHelpAndVersionAlone) {
  const run_result help = run_tool({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, testing::StartsWith("tapsum - apply an FIR filter on a WAV file.\n"
                                            "Usage: tapsum [-8 | -16] fir-file"));
  EXPECT_EQ(help.err, "");
  const run_result long_help = run_tool({"--help"});
  EXPECT_EQ(long_help.status, 0);
  EXPECT_EQ(long_help.out, help.out);
  const run_result version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tapsum " TAPSUM_VERSION "\n");
  EXPECT_EQ(version.err, "");
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
  // "-h" or "--version" with more arguments, "-24", "--x" and "-" are
  // coefficient file names.
  for (const char *name : {"-h", "--version", "-24", "--x", "-"}) {
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

// Nothing that is read is written over: not the input, whether named or
// standard input, nor the coefficient file, under any name.
TEST(Streams, RefusesToWriteOverWhatItReads) {
  const std::string fir = temp_file("fir.txt", "0.5\n");
  const std::string bytes = wav_header(1, 8, 2) + "\x10\x20";
  const std::string in = temp_file("in.wav", bytes);
  const std::string link = in + ".link";
  ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
  const std::string dir = in.substr(0, in.rfind('/'));
  const std::string same_input =
      "1 FIR samples, mono\ntapsum: Input and output are the same file '";
  for (const std::string &same : {in, link, dir + "/./in.wav"}) {
    const run_result r = run_tool({fir, in, same});
    EXPECT_EQ(r.status, 2) << same;
    EXPECT_EQ(r.err, same_input + same + "'.\n");
  }
  const run_result over_fir = run_tool({fir, in, dir + "/./fir.txt"});
  EXPECT_EQ(over_fir.status, 2);
  EXPECT_EQ(over_fir.err, "1 FIR samples, mono\ntapsum: FIR file and output are the same file '" +
                              dir + "/./fir.txt'.\n");
  // Standard output appended onto the input, named or standard input.
  tool_io onto_input;
  onto_input.stdout_file = in;
  const run_result named = run_tool({fir, link}, onto_input);
  EXPECT_EQ(named.status, 2);
  EXPECT_EQ(named.err, same_input + link + "'.\n");
  onto_input.stdin_file = in;
  const run_result standard = run_tool({fir}, onto_input);
  EXPECT_EQ(standard.status, 2);
  EXPECT_EQ(standard.err, same_input + "(standard input)'.\n");
  EXPECT_EQ(read_file(in), bytes);
  EXPECT_EQ(read_file(fir), "0.5\n");
}

// Headers, files and streams as other tools write them, through the
// identity filter: what is read, and what the output's header states.
TEST(Streams, FiltersWhatOtherToolsWrite) {
  const std::string fmt = "RIFF" + le32(100) + "WAVEfmt ";
  const std::string pcm8 = le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8);
  const std::string extensible = fmt + le32(40) + le16(0xFFFE) + pcm8.substr(2) + le16(22) +
                                 le16(8) + le32(4) + le16(1) + std::string(14, 'g');
  const std::string list = "LIST" + le32(4) + "INFO";
  const std::string samples = "\x10\x80\xf0";
  const std::string out3 = wav_header(1, 8, 3) + samples;
  struct row {
    const char *what;
    std::string fir;
    std::string wav;
    bool from_pipe;
    int status;
    std::string err_end;
    std::string out;
  };
  const row rows[] = {
      {"a LIST chunk", "1\n", fmt + le32(16) + pcm8 + list + "data" + le32(3) + samples, true, 0,
       "3 samples written.\n", out3},
      {"extensible PCM", "1\n", extensible + "data" + le32(3) + samples, true, 0,
       "3 samples written.\n", out3},
      {"extensible PCM", "1\n", extensible + "data" + le32(3) + samples, false, 0,
       "3 samples written.\n", out3},
      {"mu-law", "1\n", fmt + le32(16) + le16(7) + pcm8.substr(2) + "data" + le32(3) + samples,
       true, 2, "tapsum: Not a PCM WAV file.\n", ""},
      {"odd chunk, padded", "1\n",
       fmt + le32(16) + pcm8 + "LIST" + le32(3) + "abc" + '\0' + "data" + le32(3) + samples, false,
       0, "3 samples written.\n", out3},
      {"odd chunk, unpadded", "1\n",
       fmt + le32(16) + pcm8 + "LIST" + le32(3) + "abc" + "data" + le32(3) + samples, true, 0,
       "3 samples written.\n", out3},
      {"coefficients: a byte order mark",
       "\xEF\xBB\xBF"
       "1\n",
       wav_header(1, 8, 3) + samples, true, 0, "3 samples written.\n", out3},
      {"coefficients: a long title, 1e400",
       "# " + std::string(90, '-') + " 100 Hz\n1e400\n1\n1e400\n", wav_header(1, 8, 3) + samples,
       true, 0, "3 samples written.\n", out3},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(testing::Message() << r.what << (r.from_pipe ? " from a pipe" : " from a file"));
    const std::string fir = temp_file("fir.txt", r.fir);
    const run_result got =
        r.from_pipe ? run_tool({fir}, r.wav) : run_tool({fir, temp_file("in.wav", r.wav)});
    EXPECT_EQ(got.status, r.status);
    EXPECT_THAT(got.err, testing::StartsWith("1 FIR samples, mono\n"));
    EXPECT_THAT(got.err, testing::EndsWith(r.err_end));
    EXPECT_EQ(got.out, r.out);
  }
}

// The header states the frames written where the output can seek, and
// what the input declares where it can't; neither wraps.
TEST(Streams, StatesTheFramesInTheHeader) {
  const std::string fir = temp_file("fir.txt", "1\n0\n");
  const std::string short_input = wav_header(1, 8, 10) + "\x10\x20\x30";  // 3 of 10 frames
  const std::string to_file = temp_file("out.wav", "");
  const run_result file = run_tool({fir, temp_file("in.wav", short_input), to_file});
  EXPECT_EQ(file.status, 0);
  EXPECT_THAT(file.err, testing::EndsWith("4 samples written.\n"));
  EXPECT_EQ(read_file(to_file), wav_header(1, 8, 4) + "\x10\x20\x30\x80");
  tool_io pipe;
  pipe.stdin_bytes = short_input;
  pipe.stdout_pipe = true;
  EXPECT_EQ(run_tool({fir}, pipe).out, wav_header(1, 8, 11) + "\x10\x20\x30\x80");
  tool_io append;
  append.stdin_bytes = short_input;
  append.stdout_file = temp_file("log.wav", "before");
  EXPECT_EQ(run_tool({fir}, append).status, 0);
  EXPECT_EQ(read_file(append.stdout_file), "before" + wav_header(1, 8, 11) + "\x10\x20\x30\x80");
  // sox's placeholder on a stream of unknown length, 8-bit mono made 16-bit
  // stereo: 4 bytes a frame for 0x7ffff000 + 1 frames, saturated.
  pipe.stdin_bytes = wav_header(1, 8, 0x7ffff000) + "\x10\x20\x30";
  const run_result wide = run_tool({"-16", temp_file("wide.txt", "1 1\n")}, pipe);
  EXPECT_EQ(wide.status, 0);
  EXPECT_EQ(wide.out.substr(0, 44), wav_header(2, 16, 4294967256u));
  EXPECT_THAT(wide.err, testing::HasSubstr("Output file: 2147479552 samples, 8000 Hz, stereo"));
  EXPECT_THAT(wide.err, testing::EndsWith("3 samples written.\n"));
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
