// Runs of the built tool: a command line, coefficient text and WAV bytes in; status, report and
// output out.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"

namespace {

// The test's own temporary folder, made empty when the test first uses it
// (a folder of an earlier run whose process had the same id may still be
// there).
std::string test_dir() {
  static const testing::TestInfo *emptied_for = nullptr;
  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = testing::TempDir() + "tapsum_" + test->test_suite_name() + "_" +
                          test->name() + "_" + std::to_string(getpid());
  if (emptied_for != test) {
    std::filesystem::remove_all(dir);
    emptied_for = test;
  }
  std::filesystem::create_directory(dir);
  return dir + "/";
}

// A file of these bytes in the test's folder; returns its path.
std::string temp_file(const std::string &name, const std::string &bytes) {
  const std::string path = test_dir() + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string read_file(const std::string &path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// "RIFF", its size, "WAVE" and a format chunk of size bytes (cut short or
// padded with zero bytes) with tag, channels and bits at 8000 Hz; from 40
// bytes on, the extensible format's sub-format code at bytes 24-25.
std::string riff_fmt(int size, int tag, int channels, int bits, int sub = 1) {
  std::string body = le16(tag) + le16(channels) + le32(8000) + le32(1000 * channels * bits) +
                     le16(channels * bits / 8) + le16(bits) + le16(22) + le16(bits) + le32(4) +
                     le16(sub) + std::string(14, 'g');
  body.resize(static_cast<size_t>(size), '\0');
  return "RIFF" + le32(100) + "WAVEfmt " + le32(static_cast<uint32_t>(size)) + body;
}

const std::string bad = "tapsum: Bad arguments. Type 'tapsum -h' for help.\n";
const std::string usage =
    "tapsum - apply an FIR filter on a WAV file.\n"
    "Usage: tapsum [-8 | -16] fir-file [input-file [output-file]]\n"
    "       tapsum -h | --help | --version\n";
const std::string mono1 = "1 FIR samples, mono\n";
const std::string in3 = "Input file: 3 samples, 8000 Hz, mono, 8 bits/sample.\n";
const std::string x3 = "\x10\x80\xf0";
const std::string wav3 = wav_header(1, 8, 3) + x3;
const std::string data3 = "data" + le32(3) + x3;
const std::string pcm8 = riff_fmt(16, 1, 1, 8);
const std::string report3 = in3 + "Output file: 3 samples, 8000 Hz, mono, 8 bits/sample.\n" +
                            "\rPeak level was 88%.\n3 samples written.\n";
const std::string full = "\rPeak level was 100%.\n";
const std::string clipped = "\n*** tapsum: Warning: output file was clipped.\n";
const std::string lost = "tapsum: Can't write to output file. File system is possibly full.\n";
const std::string terminal =
    "tapsum: Standard output is a terminal: name an output file or redirect it.\n";

struct row {
  std::string command;  // FIR, IN and OUT stand for the files fir.txt, in.wav and out.wav
  std::string fir;
  std::string wav;  // in.wav's bytes
  int status;
  std::string err;          // the end of the report
  std::string out;          // out.wav's bytes when the command names OUT, else standard output's
  std::string within = "";  // a part of the report before its end
};

bool installed(const char *tool) {
  return system(("command -v " + std::string(tool) + " >/dev/null").c_str()) == 0;
}

// Runs the row's command line under bash in the test's folder, with "tapsum"
// standing for the built tool, and checks its status, report and output,
// and that neither the input nor the coefficient file was written; returns
// its report.
std::string check(const row &r) {
  SCOPED_TRACE(r.command);
  temp_file("fir.txt", r.fir);
  temp_file("in.wav", r.wav);
  const std::string out = temp_file("out.wav", "old"), dir = out.substr(0, out.rfind('/'));
  std::string command = r.command;
  for (const auto &[name, file] :
       {std::pair{"FIR", "fir.txt"}, {"IN", "in.wav"}, {"OUT", "out.wav"}})
    for (size_t at; (at = command.find(name)) != std::string::npos;)
      command.replace(at, strlen(name), file);
  command = "cd " + dir + " && tapsum() { " + TAPSUM_BINARY + " \"$@\"; } && { " + command +
            "; } >stdout 2>stderr";
  const int status = system(("bash -o pipefail -c '" + command + "'").c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, r.status);
  // The expected end of the report starts a line: after a line feed or a
  // progress line.
  const std::string err = read_file(dir + "/stderr");
  const size_t at = err.size() - std::min(err.size(), r.err.size());
  EXPECT_TRUE(err.compare(at, std::string::npos, r.err) == 0 &&
              (at == 0 || strchr("\ne", err[at - 1])))
      << "expected the end " << testing::PrintToString(r.err) << " in "
      << testing::PrintToString(err);
  if (!r.within.empty()) {
    EXPECT_NE(err.find(r.within), std::string::npos) << r.within << " in " << err;
  }
  const std::string written =
      read_file(r.command.find("OUT") != std::string::npos ? out : dir + "/stdout");
  EXPECT_TRUE(written == r.out) << first_difference(written, r.out);
  EXPECT_EQ(read_file(dir + "/in.wav"), r.wav);
  EXPECT_EQ(read_file(dir + "/fir.txt"), r.fir);
  return err;
}

TEST(Run, CommandLineAndFiles) {
  const std::string same = mono1 + "tapsum: Input and output are the same file '";
  const row rows[] = {
      {"tapsum", "", "", 1, bad, ""},
      {"tapsum -16", "", "", 1, bad, ""},
      {"tapsum FIR IN OUT x", "1\n", "", 1, bad, "old"},
      {"tapsum -h", "", "", 0, "", usage},
      {"tapsum --help", "", "", 0, "",
       usage + "The output's samples, as the first argument; without one, the input's:\n"
               "  -8, -16, -24, -32   integer codes of that many bits (8 unsigned)\n"
               "  -f32, -f64          IEEE floats of 32 or 64 bits\n"
               "See 'man tapsum' for the coefficient file, the messages and the exit statuses.\n"},
      {"tapsum --version", "", "", 0, "", "tapsum " TAPSUM_VERSION "\n"},
      {"tapsum --version x", "", "", 2, "tapsum: Can't open FIR file '--version'.\n", ""},
      {"tapsum FIR no OUT", "1\n", "", 2, mono1 + "tapsum: Can't open input file 'no'.\n", "old"},
      {"tapsum FIR IN no/out", "1\n", "", 2, "tapsum: Can't open output file 'no/out'.\n", ""},
      {"tapsum FIR", "title\n\nno numbers\n", "", 2, "tapsum: Bad FIR file.\n", ""},
      {"tapsum FIR", "0.5 0.5\n0.25\n", "", 2,
       "tapsum: Number of columns in FIR file is not constant.\n", ""},
      // Nothing that is read is written over, under any name.
      {"ln IN link && tapsum FIR IN ./link", "1\n", wav3, 2, same + "./link'.\n", ""},
      {"tapsum FIR IN ./fir.txt", "1\n", wav3, 2,
       "tapsum: FIR file and output are the same file './fir.txt'.\n", ""},
      {"tapsum FIR IN >>IN; s=$?; cat IN; exit $s", "1\n", wav3, 2, same + "in.wav'.\n", wav3},
      {"tapsum FIR <IN 1<>IN; s=$?; cat IN; exit $s", "1\n", wav3, 2, same + "(standard input)'.\n",
       wav3},
      // Lost output is a failure: samples that fail at the final flush, and a
      // header that can't be written.
      {"(trap \"\" XFSZ; ulimit -f 1; tapsum FIR IN OUT) 2>&1 | cat >&2", "1\n",
       wav_header(1, 8, 2000) + std::string(2000, 'a'), 2, lost,
       std::string(1024, 'a').replace(0, 44, wav_header(1, 8, 2000))},
      {"tapsum FIR IN /dev/full", "1\n", wav3, 2,
       in3 + "tapsum: Can't write to file. (File system full?)\n", ""},
      // An input refused leaves an existing output as it was, and a run
      // that created its output and ends before its header removes it: a
      // refused input, a stop while the header is read.
      {"tapsum FIR IN OUT", "1\n", riff_fmt(16, 1, 1, 12), 2,
       "tapsum: Unsupported bits/sample (12) in WAV file.\n", "old"},
      {"rm OUT; tapsum FIR IN OUT; s=$?; [ ! -e OUT ] && exit $s", "1\n", riff_fmt(16, 1, 1, 12), 2,
       "tapsum: Unsupported bits/sample (12) in WAV file.\n", ""},
      {"rm OUT; mkfifo f; " TAPSUM_BINARY " FIR f OUT & p=$!; exec 3>f; sleep 1; kill -15 $p; "
       "wait $p; s=$?; [ ! -e OUT ] && exit $s",
       "1\n", "", 143, mono1, ""},

  };
  for (const row &r : rows) check(r);
}

// WAV bytes never go to a terminal; a named output may, and the usage text.
TEST(Run, KeepsWavBytesOffATerminal) {
  const int terminal_fd = open("/dev/ptmx", O_RDWR | O_NOCTTY);
  if (terminal_fd < 0)
    GTEST_SKIP() << "no pseudo-terminal here (/dev/ptmx: " << strerror(errno) << ")";
  close(terminal_fd);
  const row rows[] = {
      {"tapsum FIR IN >/dev/ptmx", "1\n", wav3, 1, terminal, ""},
      {"tapsum nofile >/dev/ptmx", "", "", 1, terminal, ""},
      {"tapsum FIR IN OUT >/dev/ptmx", "1\n", wav3, 0, report3, wav3},
      {"tapsum -h >/dev/ptmx", "", "", 0, "", ""},
  };
  for (const row &r : rows) check(r);
}

// Headers that can't be used, from a pipe: the message that ends the run;
// every truncation, through a pipe, of a header with extra format bytes and
// a chunk.
TEST(Run, RefusesHeadersItCannotUse) {
  const std::pair<std::string, std::string> rows[] = {
      {"RIFX" + wav3.substr(4), "Not a WAV file."},
      {"RIFF" + le32(36) + "WAVELIST" + pcm8.substr(12), "Corrupted WAV header."},
      {"RIFF" + le32(36) + "WAVEfmt?" + pcm8.substr(16) + data3, "Corrupted WAV header."},
      {riff_fmt(16, 1, 0, 8), "Number of channels (0) not supported."},
      {riff_fmt(16, 1, 3, 8), "Number of channels (3) not supported."},
      {riff_fmt(16, 1, 257, 8), "Number of channels (257) not supported."},
      {riff_fmt(16, 1, 1, 12), "Unsupported bits/sample (12) in WAV file."},
      {riff_fmt(16, 1, 1, 272), "Unsupported bits/sample (272) in WAV file."},
      {riff_fmt(20, 0x11, 1, 4) + data3, "Unsupported bits/sample (4) in WAV file."},  // ADPCM
      {riff_fmt(16, 1, 1, 64) + data3, "Unsupported bits/sample (64) in WAV file."},
      {riff_fmt(16, 3, 1, 16) + data3, "Not a PCM WAV file."},  // a float of 16 bits
      {"RIFF" + le32(36) + "WAVE" + data3 + pcm8.substr(12), "Corrupted WAV header."},
      {riff_fmt(16, 7, 1, 8) + data3, "Not a PCM WAV file."},               // mu-law
      {riff_fmt(24, 0xFFFE, 1, 8) + data3, "Not a PCM WAV file."},          // too short to say
      {riff_fmt(40, 0xFFFE, 1, 8, 3) + data3, "Not a PCM WAV file."},       // float
      {pcm8 + "LIST" + le32(0xFFFFFFF8) + data3, "Corrupted WAV header."},  // forward, past the end
  };
  for (const auto &[wav, message] : rows)
    check({"tapsum FIR <IN", "1\n", wav, 2, "tapsum: " + message + "\n", ""});
  const std::string header = riff_fmt(18, 1, 1, 8) + "LIST" + le32(1) + "x" + "data" + le32(3);
  for (size_t length = 0; length < header.size(); length++)
    check({"cat IN | tapsum FIR", "1\n", header.substr(0, length), 2,
           length < 8 ? "tapsum: Not a WAV file.\n" : "tapsum: Corrupted WAV header.\n", ""});
}

// A canonical header's data chunk of the given depth, as other tools write
// them: extensible format chunks with the PCM or float sub-format, a float's
// 18-byte chunk, fact and LIST chunks, chunks before the format chunk
// (JUNK, bext of odd size with its pad), and RF64 with its ds64 chunk.
std::string fmt_chunk(int tag, int channels, int bits, int size, int sub = 1) {
  const int block = channels * bits / 8;
  std::string body =
      le16(tag) + le16(channels) + le32(44100) + le32(44100u * block) + le16(block) + le16(bits);
  if (size >= 18) body += le16(size - 18);
  if (size >= 40)
    body += le16(bits) + le32(3) + le16(sub) +
            std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 14);
  return "fmt " + le32(static_cast<uint32_t>(size)) + body;
}

// Files of 24 and 32 bits and of floats, as sox and ffmpeg write them,
// from a file and from a pipe: a filter of one tap of 1 gives back every
// sample byte for byte, in a canonical header of the input's depth, but -0,
// whose sum from +0 is +0. Floats
// beyond full scale are neither clipped nor warned of; floats infinite or
// not a number are read as 0, and counted. The options write each depth:
// 16-bit full scale is every depth's.
TEST(Run, ReadsAndWritesStudioFiles) {
  const std::string s24 = std::string("\x00\x00\x80\xff\xff\x7f\x39\x30\x00\x01\x00\x00", 12);
  const std::string s32 = le32(0x80000000u) + le32(0x7FFFFFFF) + le32(12345) + le32(0xFFFFFFFF);
  const std::string f32 = le32(0x3F000000) + le32(0xC0200000) + le32(0x00000001) + le32(0x80000000);
  const std::string f64 = le64(0x3FE0000000000000) + le64(0xC004000000000000);
  const std::string id = "1\n";
  auto riff = [](const std::string &chunks) {
    return "RIFF" + le32(static_cast<uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
  };
  auto data = [](const std::string &samples) {
    return "data" + le32(static_cast<uint32_t>(samples.size())) + samples;
  };
  const std::string report = "samples written.\n";
  const row rows[] = {
      // sox: extensible 24-bit with a fact chunk; float in 18 bytes with fact.
      {"tapsum FIR IN OUT", id,
       riff(fmt_chunk(0xFFFE, 2, 24, 40) + "fact" + le32(4) + le32(2) + data(s24)), 0,
       "\rPeak level was 100%.\n2 " + report, wav_header(2, 24, 12, 44100) + s24},
      {"cat IN | tapsum FIR", id,
       riff(fmt_chunk(3, 1, 32, 18) + "fact" + le32(4) + le32(4) + data(f32)), 0,
       "\rPeak level was 250%.\n4 " + report,
       wav_header(1, 32, 16, 44100, 3) + f32.substr(0, 12) + le32(0),
       "Output file: 4 samples, 44100 Hz, mono, 32 bits/sample (float).\n"},
      // ffmpeg: extensible float with a LIST chunk; plain 32-bit.
      {"tapsum FIR IN OUT", id,
       riff(fmt_chunk(0xFFFE, 1, 64, 40, 3) + "LIST" + le32(4) + "INFO" + data(f64)), 0,
       "\rPeak level was 250%.\n2 " + report, wav_header(1, 64, 16, 44100, 3) + f64},
      {"cat IN | tapsum FIR", id, riff(fmt_chunk(1, 1, 32, 16) + data(s32)), 0, "4 " + report,
       wav_header(1, 32, 16, 44100) + s32},
      // Chunks before the format chunk: ffmpeg's JUNK, a broadcast
      // recorder's bext of odd size with its pad, from a pipe.
      {"cat IN | tapsum FIR", id,
       riff("JUNK" + le32(28) + std::string(28, '\0') + fmt_chunk(1, 2, 24, 16) + data(s24)), 0,
       "2 " + report, wav_header(2, 24, 12, 44100) + s24},
      {"cat IN | tapsum FIR", id,
       riff("bext" + le32(3) + "abc" + '\0' + fmt_chunk(1, 2, 24, 16) + data(s24)), 0,
       "2 " + report, wav_header(2, 24, 12, 44100) + s24},
      // RF64 from a file, its size in ds64; and on a pipe, where ffmpeg
      // writes a ds64 size of 0 and reads to the end.
      {"tapsum FIR IN OUT", id,
       "RF64" + le32(0xFFFFFFFF) + "WAVE" + "ds64" + le32(28) + le64(60) + le64(8) + le64(4) +
           le32(0) + fmt_chunk(1, 1, 16, 16) + "data" + le32(0xFFFFFFFF) + s32 + "tail",
       0, "\rPeak level was 100%.\n4 " + report, wav_header(1, 16, 8, 44100) + s32.substr(0, 8)},
      {"cat IN | tapsum FIR | cat", id,
       "RF64" + le32(0xFFFFFFFF) + "WAVE" + "ds64" + le32(28) + std::string(28, '\0') +
           fmt_chunk(1, 1, 16, 16) + "data" + le32(0xFFFFFFFF) + s32,
       0, "8 " + report,
       "RIFF" + le32(0xFFFFFFFF) + wav_header(1, 16, 0, 44100).substr(8, 32) + le32(0xFFFFFFFF) +
           s32},
      // Floats not finite: read as 0, and said.
      {"tapsum FIR IN OUT", id,
       wav_header(1, 32, 12, 44100, 3) + le32(0x7F800000) + le32(0x7FC00000) + le32(0x3F800000), 0,
       "tapsum: Warning: 2 input samples were infinite or not a number; read as 0.\n3 " + report,
       wav_header(1, 32, 12, 44100, 3) + le32(0) + le32(0) + le32(0x3F800000)},
      // Each option's depth, from 16-bit full scale.
      {"tapsum -24 FIR IN OUT", id, wav_header(1, 16, 4) + le16(-32768) + le16(32767), 0,
       "2 " + report, wav_header(1, 24, 6) + std::string("\x00\x00\x80\xff\xff\x7f", 6)},
      {"tapsum -32 FIR IN OUT", id, wav_header(1, 16, 4) + le16(-32768) + le16(32767), 0,
       "2 " + report, wav_header(1, 32, 8) + le32(0x80000000u) + le32(0x7FFFFFFF)},
      {"tapsum -f32 FIR IN OUT", id, wav_header(1, 16, 4) + le16(-32768) + le16(32767), 0,
       "2 " + report, wav_header(1, 32, 8, 8000, 3) + le32(0xBF800000) + le32(0x3F800000)},
      {"tapsum -f64 FIR IN OUT", id, wav_header(1, 16, 4) + le16(-32768) + le16(32767), 0,
       "2 " + report,
       wav_header(1, 64, 16, 8000, 3) + le64(0xBFF0000000000000) + le64(0x3FF0000000000000)},
  };
  for (const row &r : rows) check(r);
}

// A stream whose length nobody knows, read to its end, goes on through a
// pipe with sizes of 0xFFFFFFFF, and the readers after tapsum keep every
// frame of it: Python's wave module, and sox, flac and ffmpeg where they
// are installed. 20000 frames of 16-bit stereo through 31 taps: 20030.
TEST(Run, ReadersKeepEveryFrameOfAStreamOfUnknownLength) {
  std::string taps;
  for (int k = 0; k < 31; k++) taps += k == 0 ? "1\n" : "0\n";
  const std::string wav = wav_header(2, 16, 0) + std::string(4 * 20000, '\x11');
  const std::pair<const char *, std::string> readers[] = {
      {"python3",
       "python3 -c \"import sys, wave\nw = wave.open(sys.stdin.buffer)\nn = 0\nwhile True:\n"
       "    d = w.readframes(4096)\n    if not d: break\n    n += len(d) // 4\nprint(n)\""},
      {"sox", "sox -t wav - -t raw - 2>/dev/null | wc -c | sed \"s/$/ \\/ 4/\" | xargs expr"},
      {"flac",
       "flac -s -f -o o.flac - 2>/dev/null && flac -s -d -c --force-raw-format --endian=little "
       "--sign=signed o.flac | wc -c | sed \"s/$/ \\/ 4/\" | xargs expr"},
      {"ffmpeg",
       "ffmpeg -v error -f wav -i - -f s16le - 2>/dev/null | wc -c | sed \"s/$/ \\/ 4/\" | "
       "xargs expr"},
  };
  int tried = 0;
  for (const auto &[reader, command] : readers) {
    if (!installed(reader)) continue;
    tried++;
    check({"cat IN | tapsum FIR 2>/dev/null | " + command, taps, wav, 0, "", "20030\n"});
  }
  if (tried == 0) GTEST_SKIP() << "none of python3, sox, flac and ffmpeg is installed";
}

TEST(Run, FiltersAsTheFormulasSay) {
  const std::string ok3 = "3 samples written.\n";
  const row rows[] = {
      // Headers as other tools write them: extra format bytes, the extensible
      // format, chunks before the data, odd chunks with and without their pad
      // byte, from a pipe or a file; RIFF sizes of streaming writers and of bad ones.
      {"cat IN | tapsum FIR", "1\n", riff_fmt(40, 0xFFFE, 1, 8) + data3, 0, ok3, wav3},
      {"cat IN | tapsum FIR", "1\n", riff_fmt(26, 0xFFFE, 1, 8) + data3, 0, ok3, wav3},
      {"tapsum FIR IN", "1\n",
       riff_fmt(19, 1, 1, 8) + '\0' + "LIST" + le32(3) + "abc" + '\0' + data3, 0, ok3, wav3},
      {"cat IN | tapsum FIR", "1\n", pcm8 + "LIST" + le32(3) + "abc" + data3, 0, ok3, wav3},
      // A chunk that runs one byte past what the first read of the file
      // holds (65536 bytes, 44 of them the headers before it), without its
      // pad byte, and one of zero bytes past what a pipe holds.
      {"tapsum FIR IN", "1\n", pcm8 + "LIST" + le32(65493) + std::string(65493, 'x') + data3, 0,
       ok3, wav3},
      {"cat IN | tapsum FIR", "1\n", pcm8 + "LIST" + le32(70000) + std::string(70000, '\0') + data3,
       0, ok3, wav3},
      {"tapsum FIR <IN", "1\n", "RIFF" + le32(35) + wav3.substr(8), 0,
       mono1 + "tapsum: Warning: Bad length in WAV header.\n" + report3, wav3},
      {"tapsum FIR <IN", "1\n", "RIFF" + le32(0xFFFFFFFF) + wav3.substr(8), 0, mono1 + report3,
       wav3},
      // 8-bit b is 16-bit 257 b - 32768, and back.
      {"tapsum -8 FIR IN", "1 -1\n", wav_header(2, 16, 4) + le16(-28656) + le16(-28656), 0,
       "Input file: 1 samples, 8000 Hz, stereo, 16 bits/sample.\n"
       "Output file: 1 samples, 8000 Hz, stereo, 8 bits/sample.\n\rPeak level was 87%.\n"
       "1 samples written.\n",
       wav_header(2, 8, 2) + "\x10\xef"},
      {"tapsum -16 FIR IN OUT", "1 0.5\n", wav_header(1, 8, 2, 22050) + std::string("\0\xff", 2), 0,
       "1 FIR samples, stereo\nInput file: 2 samples, 22050 Hz, mono, 8 bits/sample.\n"
       "Output file: 2 samples, 22050 Hz, stereo, 16 bits/sample.\n" +
           full + "2 samples written.\n",
       wav_header(2, 16, 8, 22050) + le16(-32768) + le16(-16384) + le16(32767) + le16(16383)},
      {"tapsum FIR IN", "0.5\n",
       wav_header(2, 16, 8) + le16(32767) + le16(-32768) + le16(1) + le16(2), 0,
       "2 samples written.\n",
       wav_header(2, 16, 8) + le16(16383) + le16(-16384) + le16(0) + le16(1)},
      // No frames; the declared frames stop the reading; 0 declared reads to
      // the end.
      {"tapsum FIR IN", "0.5\n0.5\n0.5\n", wav_header(1, 8, 0), 0,
       "\rPeak level was 0%.\n2 samples written.\n", wav_header(1, 8, 2) + "\x80\x80"},
      {"cat IN | tapsum FIR", "1\n", wav3 + "LIST" + le32(4) + "abcd", 0, ok3, wav3},
      {"tapsum FIR IN OUT", "1\n", wav_header(1, 8, 0) + x3, 0, ok3, wav3},
      // Shorter than declared: the header states the frames written to a
      // file, and those declared where it can't be rewritten: appended to a
      // file, or on a pipe (below).
      {"tapsum FIR IN OUT", "1\n0\n", wav_header(1, 8, 10) + x3, 0, "4 samples written.\n",
       wav_header(1, 8, 4) + x3 + "\x80"},
      {"echo -n a >OUT; tapsum FIR IN >>OUT", "1\n0\n", wav_header(1, 8, 10) + x3, 0,
       "4 samples written.\n", "a" + wav_header(1, 8, 11) + x3 + "\x80"},
      // sox's placeholder for an unknown length, made 16-bit stereo: the
      // sizes are held at the last whole frame below 2^32 bytes.
      {"tapsum -16 FIR <IN | cat", "1 1\n", wav_header(1, 8, 0x7ffff000) + x3, 0,
       "Output file: 2147479552 samples, 8000 Hz, stereo, 16 bits/sample.\n\r"
       "Peak level was 88%.\n3 samples written.\n",
       wav_header(2, 16, 4294967256u) + le16(-28656) + le16(-28656) + le16(128) + le16(128) +
           le16(28912) + le16(28912)},
      {"tapsum FIR <IN | cat", "1\n0\n", wav_header(1, 8, 0xFFFFFFFF) + x3, 0,
       "Output file: 4294967296 samples, 8000 Hz, mono, 8 bits/sample.\n\rPeak level was 88%.\n"
       "4 samples written.\n",
       wav_header(1, 8, 4294967259u) + x3 + "\x80"},
      {"tapsum FIR IN", "1.2\n", wav_header(1, 8, 2) + "\xff\x80", 0,
       "\rPeak level was 120%.\n" + clipped + "2 samples written.\n",
       wav_header(1, 8, 2) + "\xff\x80"},
      {"tapsum FIR IN", "1\n", wav_header(1, 8, 100) + std::string(100, '\x80'), 0,
       "Output file: 100 samples, 8000 Hz, mono, 8 bits/sample.\n\rPeak level was 0%.\n"
       "100 samples written.\n",
       wav_header(1, 8, 100) + std::string(100, '\x80')},
      // One frame more than 100 shows the percentage at every frame after
      // the first.
      {"tapsum FIR IN", "1\n", wav_header(1, 8, 101) + std::string(101, '\x80'), 0,
       "\r 99% done\r100% done\rPeak level was 0%.\n101 samples written.\n",
       wav_header(1, 8, 101) + std::string(101, '\x80'), "bits/sample.\n\r  1% done\r  2% done\r"},
      {"tapsum FIR IN", "0x1.0000000000001p0\n", wav_header(1, 16, 2) + le16(-32768), 0,
       full + clipped + "1 samples written.\n", wav_header(1, 16, 2) + le16(-32768)},
  };
  for (const row &r : rows) check(r);
}

// Failures that must not pass as success, and the files they involve left
// as they were: read errors (injected by strace where it is installed, and
// directories, which open but can't be read), every combination of closed
// standard descriptors, standard output onto the coefficient file, usage
// text that can't be written, a format chunk past the end of a file.
TEST(Run, NoFailurePassesAsSuccess) {
  const std::string read_failed = "tapsum: Can't read input file.\n";
  const std::string fir_lost = "tapsum: FIR file and output are the same file 'fir.txt'.\n";
  const std::string long_wav = wav_header(1, 16, 160000) + std::string(160000, 'a');
  std::string long_fir;
  while (long_fir.size() < 8192) long_fir += "0.001\n";
  std::vector<row> rows = {
      {"tapsum . IN", "", wav3, 2, "tapsum: Can't read FIR file '.'.\n", ""},
      {"tapsum FIR .", "1\n", "", 2, mono1 + read_failed, ""},
      {"tapsum FIR <&-", "1\n", wav3, 2, mono1 + read_failed, ""},
      {"tapsum FIR IN >&-", "1\n", wav3, 2,
       in3 + "tapsum: Can't write to file. (File system full?)\n", ""},
      {"tapsum FIR IN >>FIR; s=$?; cat FIR; exit $s", "1\n", wav3, 2, mono1 + fir_lost, "1\n"},
      {"tapsum FIR IN 1<>FIR; s=$?; cat FIR; exit $s", "1\n", wav3, 2, mono1 + fir_lost, "1\n"},
      // A NUL byte in the titles or in a row: not a text file of
      // coefficients. A WAV file is read as one: then the next argument is
      // the input.
      {"tapsum FIR IN", std::string("# \0\n1\n", 6), wav3, 2, "tapsum: Bad FIR file.\n", ""},
      {"tapsum FIR IN", std::string("1\n0.5\0\n", 7), wav3, 2, "tapsum: Bad FIR file.\n", ""},
      {"tapsum IN OUT", "", wav3, 2, "3 FIR samples, mono\ntapsum: Not a WAV file.\n", "old"},
      // A WAV file of coefficients it can't use, named.
      {"tapsum FIR IN", riff_fmt(16, 1, 3, 16) + "data" + le32(6) + "abcdef", wav3, 2,
       "tapsum: FIR file 'fir.txt' has 3 channels; a WAV file of coefficients has one or two.\n",
       ""},
      {"tapsum FIR IN", riff_fmt(16, 1, 1, 12) + "data" + le32(2) + "ab", wav3, 2,
       "tapsum: FIR file 'fir.txt' has samples of 12 bits, which tapsum doesn't read.\n", ""},
      {"tapsum FIR IN", wav_header(1, 32, 8, 8000, 3) + le32(0x3F800000) + le32(0x7FC00000), wav3,
       2, "tapsum: FIR file 'fir.txt' holds a sample that is infinite or not a number.\n", ""},
      {"tapsum FIR IN", riff_fmt(16, 1, 1, 16), wav3, 2,
       "tapsum: FIR file 'fir.txt' is a WAV file whose header is corrupted.\n", ""},
      {"tapsum --version >/dev/full", "", "", 2, lost, ""},
      {"tapsum -h >/dev/full", "", "", 2, lost, ""},
      // A declared size under one frame is no frame, not "read to the end":
      // the chunk after it is not audio.
      {"tapsum FIR IN OUT", "1\n0\n", wav_header(1, 16, 1) + '\0' + "LIST" + le32(4) + "abcd", 0,
       "1 samples written.\n", wav_header(1, 16, 2) + le16(0)},
      {"tapsum FIR IN", "1\n", riff_fmt(200, 7, 1, 8).substr(0, 36), 2,
       "tapsum: Corrupted WAV header.\n", ""},
      {"cat IN | tapsum FIR", "1\n", riff_fmt(200, 7, 1, 8).substr(0, 36), 2,
       "tapsum: Corrupted WAV header.\n", ""},
      // The rate is an unsigned field, printed and copied as it is.
      {"tapsum FIR IN", "1\n", wav_header(1, 8, 3, static_cast<int32_t>(3000000000u)) + x3, 0,
       "Output file: 3 samples, 3000000000 Hz, mono, 8 bits/sample.\n\rPeak level was 88%.\n3 "
       "samples written.\n",
       wav_header(1, 8, 3, static_cast<int32_t>(3000000000u)) + x3},
  };
  // Named files need no standard descriptor; a closed standard error only
  // silences the report.
  for (int closed = 1; closed < 8; closed++) {
    const std::string close = std::string(closed & 1 ? " <&-" : "") + (closed & 2 ? " >&-" : "");
    rows.push_back({"tapsum FIR IN OUT" + close + (closed & 4 ? " 2>&-" : ""), "1\n", wav3, 0,
                    closed & 4 ? "" : report3, wav3});
  }
  for (const row &r : rows) check(r);
}

// Read errors injected by strace are failures, with the message on a line
// of its own after a progress line; a read interrupted by a signal (error
// 4, EINTR) is made again, in both files. LeakSanitizer can't run under
// ptrace; the sanitizer builds run these rows without it.
TEST(Run, InjectedReadErrorsAreFailures) {
  if (!installed("strace")) GTEST_SKIP() << "strace is not installed";
  const std::string read_failed = "tapsum: Can't read input file.\n";
  const std::string long_wav = wav_header(1, 16, 160000) + std::string(160000, 'a');
  std::string long_fir;
  while (long_fir.size() < 8192) long_fir += "0.001\n";
  const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e trace=read ";
  const std::string eio = strace + "-e inject=read:error=EIO:when=";
  std::vector<row> rows = {
      {eio + "3 -P in.wav " TAPSUM_BINARY " FIR IN >/dev/null", "1\n", long_wav, 2, read_failed, "",
       "done\n" + read_failed},
      {eio + "2 -P fir.txt " TAPSUM_BINARY " FIR IN >/dev/null", long_fir, long_wav, 2,
       "tapsum: Can't read FIR file 'fir.txt'.\n", ""},
  };
  for (const char *file : {"in.wav", "fir.txt"})
    rows.push_back({strace + "-e inject=read:error=4:when=2 -P " + file +
                        " " TAPSUM_BINARY " FIR IN | cmp - IN",
                    "1\n", long_wav, 0, "80000 samples written.\n", ""});
  for (const row &r : rows) check(r);
}

// Pipes as a parent may hand them over: left non-blocking (a writer that
// pauses within the header and the data, a reader that starts late, so
// that both sides find their pipe empty or full), or whose reader has
// gone while SIGPIPE is ignored: that failure is the pipe's, not the file
// system's, for the header, the samples and the help.
TEST(Run, TakesPipesAsTheParentHandsThemOver) {
  const std::string long_wav = wav_header(1, 16, 160000) + std::string(160000, 'a');
  const std::string exec = "python3 -c \"import os, signal, sys; " + std::string("%s") +
                           "os.execvp(sys.argv[1], sys.argv[1:])\" " TAPSUM_BINARY " ";
  auto with = [&](const std::string &setup) {
    std::string run = exec;
    return run.replace(run.find("%s"), 2, setup);
  };
  const std::string non_blocking = with("os.set_blocking(0, False); os.set_blocking(1, False); ");
  const std::string no_reader = with(
      "r, w = os.pipe(); os.close(r); os.dup2(w, 1); signal.signal(signal.SIGPIPE, "
      "signal.SIG_IGN); ");
  const std::string broken = "tapsum: Can't write to output: Broken pipe.\n";
  const row rows[] = {
      {"{ head -c 30 IN; sleep 0.3; head -c 1000 IN | tail -c +31; sleep 0.3; tail -c +1001 IN; } "
       "| " +
           non_blocking + "FIR | { sleep 1.2; cat; }",
       "1\n", long_wav, 0, "80000 samples written.\n", long_wav},
      {no_reader + "FIR IN", "1\n", wav3, 2, in3 + broken, ""},
      {no_reader + "FIR IN", "1\n", long_wav, 2, broken, ""},
      {no_reader + "-h", "", "", 2, broken, ""},
  };
  for (const row &r : rows) check(r);
}

// A run stopped by SIGINT on a slow input (a FIFO that gets 50 of 100
// declared frames, then waits) writes the frames it has, puts their count in
// the header, prints its count line and ends by the signal: the shell sees
// 130. Stopped while the header is read (20 bytes of it, or none), it ends
// by the signal with no word about the input, and leaves the output as it
// was.
TEST(Run, StopsCleanlyOnASignal) {
  const std::string half = x3.substr(0, 2) + std::string(48, 'a');
  const std::string wav = wav_header(1, 8, 100) + half;
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {wav, "Output file: 100 samples, 8000 Hz, mono, 8 bits/sample.\n50 samples written.\n",
       wav_header(1, 8, 50) + half},
      {wav.substr(0, 20), mono1, "old"},
      {"", mono1, "old"},
  };
  // Job control, so that the job doesn't start with SIGINT ignored; its
  // notices go nowhere, tapsum's report to the report. Signal 2 is SIGINT.
  for (const auto &[fed, report, out] : rows)
    check({"mkfifo fifo; { set -m; { cat IN; sleep 5; } >fifo & w=$!; " TAPSUM_BINARY
           " FIR fifo OUT 2>report & p=$!; sleep 1; kill -2 $p; wait $p; s=$?; kill $w; wait $w; } "
           "2>/dev/null; cat report >&2; exit $s",
           "1\n", fed, 130, report, out});
}

// No byte of the output is lost or repeated: writes cut short by a signal
// (EINTR, error 4, injected by strace at every second write, the header's
// and the final sizes' included) go on where they stopped, from a file and
// into a pipe; a write that fails leaves a prefix and fails the run.
TEST(Run, InjectedWriteFailuresLoseNoByte) {
  if (!installed("strace")) GTEST_SKIP() << "strace is not installed";
  const std::string long_wav = wav_header(1, 16, 800000) + std::string(800000, 'a');
  const std::string inject =
      "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e trace=write,pwrite64 -e inject=";
  // o.wav exists before the run, so that strace can follow it.
  const std::string prefix = "; s=$?; head -c $(stat -c %s o.wav) IN | cmp - o.wav && exit $s";
  const row rows[] = {
      {inject + "write,pwrite64:error=4:when=2+2 -P out.wav " TAPSUM_BINARY " FIR IN OUT", "1\n",
       long_wav, 0, "400000 samples written.\n", long_wav},
      {inject + "write:error=4:when=2+2 " TAPSUM_BINARY " FIR IN 2>/dev/null | cmp - IN", "1\n",
       long_wav, 0, "", ""},
      {"echo old >o.wav; " + inject +
           "write:error=EIO:when=3 -P o.wav " TAPSUM_BINARY " FIR IN o.wav" + prefix,
       "1\n", long_wav, 2, lost, ""},
      {"echo old >o.wav; " + inject + "pwrite64:error=EIO -P o.wav " TAPSUM_BINARY " FIR IN o.wav" +
           prefix,
       "1\n", long_wav, 2, lost, ""},
  };
  for (const row &r : rows) check(r);
}

// A run stopped while blocked on a full pipe, by SIGTERM or by timeout
// (which sends SIGTERM twice), writes every frame it computed once the
// reader goes on: what the reader gets is a prefix of the whole output,
// longer than the pipe held, and the count line says how many frames.
// Under every address-space limit at which the loader starts, by steps of
// 20 KiB, the version and runs of an 8192-tap filter on 1 and 8 threads end in a whole output
// or in the memory message with the existing output as it was, never in a
// crash.
TEST(Run, LosesNoByteWhateverInterruptsIt) {
  const std::string long_wav = wav_header(1, 16, 800000) + std::string(800000, 'a');
  std::vector<row> rows;
  // SIGTERM is signal 15; timeout's status is 124.
  for (const auto &[stop, status] : {std::pair{"kill -15 $p", 143}, {"true", 124}}) {
    const std::string run = status == 143 ? TAPSUM_BINARY : "timeout 1 " TAPSUM_BINARY;
    rows.push_back(
        {"tapsum FIR IN >full 2>/dev/null; mkfifo pipe; { sleep 2; cat; } <pipe >got & r=$!; " +
             run + " FIR IN >pipe 2>report & p=$!; sleep 1; " + stop +
             "; wait $p; s=$?; wait $r; n=$(sed -En \"s/^([0-9]+) samples written.$/\\1/p\" "
             "report); "
             "[ $(stat -c %s got) -eq $((44 + 2 * n)) ] && [ $n -gt 32768 ] && "
             "head -c $(stat -c %s got) full | cmp - got && "
             "sed -E \"s/^[0-9]+ samples/N samples/\" report | tail -c 20 >&2; exit $s",
         "1\n", long_wav, status, "\nN samples written.\n", ""});
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(TAPSUM_EMULATED)
  // The sanitizers, and an emulator, reserve more address space than any of
  // these limits. The transform is asked for: its planner is what needs room.
  std::string long_fir;
  for (int k = 0; k < 8192; k++) long_fir += "0.0001\n";
  // The loader's status when it can't map a library is 127.
  const std::string sweep =
      "low=4000; while (ulimit -v $low; tapsum --version >/dev/null 2>&1); [ $? = 127 ]; do "
      "low=$((low + 20)); done; "
      "for t in 0 1 8; do whole=0 short=0; for v in $(seq $low 20 $((low + 24000))); do "
      "echo old >o.wav; if [ $t = 0 ]; then (ulimit -v $v; tapsum --version >o.wav 2>err); "
      "else (ulimit -v $v; TAPSUM_THREADS=$t TAPSUM_METHOD=fft tapsum FIR IN o.wav 2>err); fi; "
      "s=$?; if [ $s = 0 ]; then whole=1; "
      "elif [ $s = 2 ] && [ \"$(tail -n 1 err)$(cat o.wav)\" = \"tapsum: Not enough memory.old\" "
      "]; "
      "then short=1; else echo \"$t threads, $v KiB: $s\"; cat err; fi; done; "
      "echo $t: $whole $short; done";
  rows.push_back({sweep, long_fir, wav3, 0, "", "0: 1 0\n1: 1 1\n8: 1 1\n"});
#endif
  for (const row &r : rows) check(r);
}

// The percentage at every 1% of more than 100 declared frames, in the
// steady phase only: for 1000 frames through 31 taps, frames 40 to 1000 by
// 10 (and none for 100 frames, in the table above).
TEST(Run, ReportsProgress) {
  std::string zeros;
  for (int k = 0; k < 31; k++) zeros += "0\n";
  const std::string err = check(
      {"tapsum FIR IN | cat >/dev/null", zeros, wav_header(1, 8, 1000) + std::string(1000, 'a'), 0,
       "\r 99% done\r100% done\rPeak level was 0%.\n1030 samples written.\n", ""});
  EXPECT_NE(err.find("bits/sample.\n\r  4% done\r  5% done\r"), std::string::npos);
  EXPECT_EQ(std::count(err.begin(), err.end(), '%'), 97 + 1);
}

}  // namespace
