// The WAV header stage and the sample codec.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/support.h"
#include "wav/wav.h"

namespace {

struct staged {
  wav_format format;
  std::string header;  // the output header written
  std::string err;
  int next;  // the input byte after the header stage
};

staged stage(const std::string &bytes, int out_bits = 0, int taps = 1, int stereo_fir = 0) {
  FILE *in = stream_of(bytes + "Z");
  FILE *out = tmpfile();
  wav_format format{};
  const std::string err =
      stderr_of([&] { format = header_stage(in, out, out_bits, taps, stereo_fir); });
  const int next = getc(in);
  fclose(in);
  return {format, contents(out), err, next};
}

// A header whose format chunk has extra bytes and which has a chunk before
// "data": 16-bit stereo at 44100 Hz, 8 frames.
std::string long_header() {
  return "RIFF" + le32(100) + "WAVEfmt " + le32(18) + le16(1) + le16(2) + le32(44100) +
         le32(176400) + le16(4) + le16(16) + le16(0) +  // format extra bytes, skipped
         "LIST" + le32(5) + "abcde" +                   // odd size, not rounded up
         "data" + le32(32);
}

TEST(Header, FindsTheDataChunk) {
  struct row {
    const char *what;
    std::string bytes;
    wav_format expect;
  };
  const std::string fmt16 = "WAVEfmt " + le32(16);
  const row rows[] = {
      {"canonical", wav_header(1, 16, 2000), {1, 16, 16, 1000}},
      {"format extra and a list chunk", long_header(), {2, 16, 16, 8}},
      {"extensible format chunk of 40 bytes",
       "RIFF" + le32(60) + "WAVEfmt " + le32(40) + le16(0xFFFE) + le16(1) + le32(8000) +
           le32(8000) + le16(1) + le16(8) + std::string(24, '\x7f') + "data" + le32(3),
       {1, 8, 8, 3}},
      {"format tag 3 is read as PCM",
       "RIFF" + le32(40) + fmt16 + le16(3) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8) +
           "data" + le32(4),
       {1, 8, 8, 4}},
      {"partial frame dropped", wav_header(2, 16, 10), {2, 16, 16, 2}},
      {"all 32 bits set, 16-bit", wav_header(1, 16, 0xFFFFFFFF), {1, 16, 16, 2147483647}},
      {"all 32 bits set, 8-bit", wav_header(1, 8, 0xFFFFFFFF), {1, 8, 8, 4294967295}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    const staged got = stage(r.bytes);
    EXPECT_EQ(got.format.channels, r.expect.channels);
    EXPECT_EQ(got.format.in_bits, r.expect.in_bits);
    EXPECT_EQ(got.format.out_bits, r.expect.out_bits);
    EXPECT_EQ(got.format.frames, r.expect.frames);
    EXPECT_EQ(got.next, 'Z') << "input not left at the data chunk's body";
  }
}

TEST(Header, WritesTheCanonicalOutputHeader) {
  // 1000 frames of 16-bit mono through 31 taps: 1030 frames out.
  const staged mono = stage(wav_header(1, 16, 2000, 44100), 0, 31);
  EXPECT_EQ(mono.header, wav_header(1, 16, 2060, 44100));
  EXPECT_EQ(mono.err,
            "Input file: 1000 samples, 44100 Hz, mono, 16 bits/sample.\n"
            "Output file: 1030 samples, 44100 Hz, mono, 16 bits/sample.\n");

  // 8-bit mono, a two-column filter of 3 taps, "-16": stereo 16-bit out.
  const staged wide = stage(wav_header(1, 8, 10, 22050), 16, 3, 1);
  EXPECT_EQ(wide.header, wav_header(2, 16, 12 * 4, 22050));
  EXPECT_EQ(wide.format.out_bits, 16);

  // The output frame count wraps modulo 2^32: 4294967295 + 5 - 1 = 3.
  const staged wraps = stage(wav_header(1, 8, 0xFFFFFFFF), 0, 5);
  EXPECT_EQ(wraps.header, wav_header(1, 8, 3));
  EXPECT_NE(wraps.err.find("Output file: 3 samples"), std::string::npos) << wraps.err;
}

TEST(Header, WarnsOnABadRiffSize) {
  for (const uint32_t size : {0u, 35u, 0x80000000u}) {
    const staged got = stage("RIFF" + le32(size) + wav_header(1, 8, 4).substr(8));
    EXPECT_EQ(got.err.rfind("tapsum: Warning: Bad length in WAV header.\nInput file: 4 samples", 0),
              0u)
        << "RIFF size " << size << ": " << got.err;
  }
  EXPECT_EQ(stage("RIFF" + le32(36) + wav_header(1, 8, 0).substr(8)).err.find("Warning"),
            std::string::npos);
}

TEST(HeaderDeathTest, RejectsHeadersItCannotUse) {
  struct row {
    const char *what;
    std::string bytes;
    const char *message;
  };
  const std::string corrupted = "tapsum: Corrupted WAV header.\n";
  const std::string riff = "RIFF" + le32(36);
  const std::string fmt_head = "WAVEfmt " + le32(16) + le16(1);
  const row rows[] = {
      {"not RIFF", "RIFX" + wav_header(1, 8, 4).substr(4), "tapsum: Not a WAV file.\n"},
      {"chunk before the format chunk",
       riff + "WAVELIST" + le32(4) + "abcd" + wav_header(1, 8, 4).substr(12), corrupted.c_str()},
      {"channels 0", riff + fmt_head + le16(0) + le32(8000) + le32(8000) + le16(1) + le16(8),
       "tapsum: Number of channels (0) not supported.\n"},
      {"channels 3", riff + fmt_head + le16(3) + le32(8000) + le32(8000) + le16(3) + le16(8),
       "tapsum: Number of channels (3) not supported.\n"},
      {"channel byte 0xFF",
       riff + fmt_head + le16(0xFF) + le32(8000) + le32(8000) + le16(1) + le16(8),
       "tapsum: Number of channels (-1) not supported.\n"},
      {"24 bits", riff + fmt_head + le16(1) + le32(8000) + le32(24000) + le16(3) + le16(24),
       "tapsum: Unsupported bits/sample (24) in WAV file.\n"},
      // Read as 16 bytes anyway: the bit depth is then the letter d.
      {"14-byte format chunk",
       riff + "WAVEfmt " + le32(14) + le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) +
           "data" + le32(4),
       "tapsum: Unsupported bits/sample (100) in WAV file.\n"},
      // Skipped forward by its unsigned size, past the end of the file.
      {"chunk size 2^31",
       wav_header(1, 8, 0).substr(0, 36) + "LIST" + le32(0x80000000) + "data" + le32(4),
       corrupted.c_str()},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EXIT(header_stage(stream_of(r.bytes), tmpfile(), 0, 1, 0), testing::ExitedWithCode(2),
                literally(r.message));
  }
}

TEST(HeaderDeathTest, RejectsEveryTruncation) {
  const std::string whole = long_header();
  for (size_t length = 0; length < whole.size(); length++) {
    SCOPED_TRACE(length);
    const std::string stub = whole.substr(0, length);
    EXPECT_EXIT(
        {
          FILE *in = stream_of(stub);
          header_stage(in, tmpfile(), 0, 1, 0);
        },
        testing::ExitedWithCode(2),
        literally(length < 8 ? "tapsum: Not a WAV file.\n" : "tapsum: Corrupted WAV header.\n"));
  }
}

double decode(std::string bytes, int bits) {
  FILE *in = fmemopen(bytes.data(), bytes.size(), "rb");
  double x = 99;
  EXPECT_EQ(read_sample(in, bits, &x), 0);
  fclose(in);
  return x;
}

struct encoded {
  std::string bytes;
  int clipped;
};

encoded encode(double value, int bits) {
  static FILE *out = tmpfile();
  rewind(out);
  const int clipped = write_sample(value, bits, out);
  fflush(out);
  rewind(out);
  std::string bytes(bits / 8, '?');
  EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), out), bytes.size());
  return {bytes, clipped};
}

TEST(Codec, DecodesTheEndsAndTheMiddle) {
  EXPECT_EQ(decode(std::string(1, '\0'), 8), -1.0);
  EXPECT_EQ(decode("\xff", 8), 1.0);
  EXPECT_DOUBLE_EQ(decode("\x80", 8), 1.0 / 255);
  EXPECT_EQ(decode(le16(-32768), 16), -1.0);
  EXPECT_EQ(decode(le16(32767), 16), 1.0);
  EXPECT_DOUBLE_EQ(decode(le16(0), 16), 1.0 / 65535);
}

TEST(Codec, RoundTripsEveryCodeAtBothDepths) {
  for (int b = 0; b < 256; b++) {
    const std::string byte(1, static_cast<char>(b));
    ASSERT_EQ(encode(decode(byte, 8), 8).bytes, byte) << "8-bit code " << b;
    // Across depths the mapping is v = 257 b - 32768.
    ASSERT_EQ(encode(decode(byte, 8), 16).bytes, le16(257 * b - 32768)) << "8-bit code " << b;
  }
  for (int v = -32768; v < 32768; v++) {
    ASSERT_EQ(encode(decode(le16(v), 16), 16).bytes, le16(v)) << "16-bit code " << v;
    // b = round((v + 32768) / 257), which never meets a tie.
    const int b = (2 * (v + 32768) + 257) / 514;
    ASSERT_EQ(encode(decode(le16(v), 16), 8).bytes, std::string(1, static_cast<char>(b)))
        << "16-bit code " << v;
  }
}

// Decoding in the extended format gives a different last bit than plain
// double arithmetic for 142 of the 8-bit codes and 16 of the 16-bit codes.
TEST(Codec, DecodesInTheExtendedFormat) {
  int differ8 = 0;
  for (int b = 0; b < 256; b++)
    differ8 += decode(std::string(1, static_cast<char>(b)), 8) != (b + b) / 255.0 - 1;
  int differ16 = 0;
  for (int v = -32768; v < 32768; v++) differ16 += decode(le16(v), 16) != (v + v + 1) / 65535.0;
  EXPECT_EQ(differ8, 142);
  EXPECT_EQ(differ16, 16);
}

TEST(Codec, ClipsRoundsAndWritesNaN) {
  struct row {
    double value;
    std::string code8;
    int code16;
    int clipped;
  };
  const double above = std::nextafter(1.0, 2.0);
  const double below = std::nextafter(-1.0, -2.0);
  const row rows[] = {
      {0.0, "\x80", 0, 0},      // halves: 127.5 -> 128 and -0.5 -> 0, ties to even
      {1.0, "\xff", 32767, 0},  // exactly 1 is not clipping
      {above, "\xff", 32767, 1},
      {1.5, "\xff", 32767, 1},
      {-1.0, std::string(1, '\0'), -32768, 0},
      {below, std::string(1, '\0'), -32768, 1},
      {NAN, std::string(1, '\0'), 0, 0},  // neither above 1 nor below -1
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(encode(r.value, 8).bytes, r.code8);
    EXPECT_EQ(encode(r.value, 8).clipped, r.clipped);
    EXPECT_EQ(encode(r.value, 16).bytes, le16(r.code16));
    EXPECT_EQ(encode(r.value, 16).clipped, r.clipped);
  }
}

TEST(Codec, ReportsTheEndOfTheInput) {
  FILE *in = stream_of("\x34");  // half a 16-bit sample
  double x = 0.25;
  EXPECT_EQ(read_sample(in, 16, &x), 1);
  EXPECT_EQ(x, 0.25);
  EXPECT_EQ(read_sample(in, 8, &x), 1);
  fclose(in);
}

TEST(CodecDeathTest, EndsTheRunWhenAWriteFails) {
  EXPECT_EXIT(
      {
        FILE *full = fopen("/dev/full", "wb");
        setvbuf(full, nullptr, _IONBF, 0);
        write_sample(0.5, 16, full);
      },
      testing::ExitedWithCode(2),
      literally("tapsum: Can't write to output file. File system is possibly full.\n"));
}

}  // namespace
