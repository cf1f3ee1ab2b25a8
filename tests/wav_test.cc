// The WAV header stage and the sample codec.
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

// "RIFF", its size, "WAVE" and a format chunk of size bytes (cut short or
// padded with zero bytes) declaring tag, channels and bits at 8000 Hz; from
// 40 bytes on, the extensible format's sub-format code at bytes 24-25.
std::string riff_fmt(uint32_t riff, int size, int tag, int channels, int bits, int sub = 1) {
  std::string body = le16(tag) + le16(channels) + le32(8000) + le32(1000 * channels * bits) +
                     le16(channels * bits / 8) + le16(bits) + le16(22) + le16(bits) + le32(4) +
                     le16(sub) + "\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71";
  body.resize(size, '\0');
  return "RIFF" + le32(riff) + "WAVEfmt " + le32(size) + body;
}

// Extra format bytes and an odd-sized chunk before "data", 8 stereo frames.
const std::string chunky =
    riff_fmt(100, 18, 1, 2, 16) + "LIST" + le32(5) + "abcde" + "data" + le32(32);

TEST(Header, FindsTheDataChunk) {
  struct row {
    const char *what;
    std::string bytes;
    struct {
      int channels, in_bits, out_bits;
      uint32_t frames;
    } expect;
  };
  const row rows[] = {
      {"canonical", wav_header(1, 16, 2000), {1, 16, 16, 1000}},
      {"format extra and an unpadded odd chunk", chunky, {2, 16, 16, 8}},
      {"extensible PCM", riff_fmt(60, 40, 0xFFFE, 1, 8) + "data" + le32(3), {1, 8, 8, 3}},
      {"odd chunks padded, the format chunk too",
       riff_fmt(60, 19, 1, 1, 8) + '\0' + "LIST" + le32(3) + "abc" + '\0' + "data" + le32(3),
       {1, 8, 8, 3}},
      {"partial frame dropped", wav_header(2, 16, 10), {2, 16, 16, 2}},
      {"all 32 bits set, 16-bit", wav_header(1, 16, 0xFFFFFFFF), {1, 16, 16, 2147483647}},
      {"all 32 bits set, 8-bit", wav_header(1, 8, 0xFFFFFFFF), {1, 8, 8, 4294967295}},
  };
  for (const row &r : rows) {
    const staged got = stage(r.bytes);
    EXPECT_EQ(got.format.channels, r.expect.channels) << r.what;
    EXPECT_EQ(got.format.in_bits, r.expect.in_bits) << r.what;
    EXPECT_EQ(got.format.out_bits, r.expect.out_bits) << r.what;
    EXPECT_EQ(got.format.frames, r.expect.frames) << r.what;
    EXPECT_EQ(got.next, 'Z') << r.what << ": not left at the data chunk's body";
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
  // No count wraps: the format line says 4294967295 + 5 - 1 frames, and the
  // header's sizes stop at the last whole frame below 2^32 - 36 bytes.
  const staged huge = stage(wav_header(1, 8, 0xFFFFFFFF), 16, 5, 1);
  EXPECT_EQ(huge.header, wav_header(2, 16, 4294967256u));
  EXPECT_THAT(huge.err, testing::EndsWith("Output file: 4294967299 samples, 8000 Hz, stereo, "
                                          "16 bits/sample.\n"));
}

TEST(Header, WarnsOnABadRiffSize) {
  // Read as unsigned: streaming writers' 0xFFFFFFFF and files over 2 GiB are not bad.
  for (const uint32_t size : {0u, 35u, 36u, 0x80000000u, 0xFFFFFFFFu}) {
    const std::string err = stage("RIFF" + le32(size) + wav_header(1, 8, 4).substr(8)).err;
    EXPECT_EQ(err.find("tapsum: Warning: Bad length in WAV header.\nInput file:"),
              size < 36 ? 0 : std::string::npos)
        << "RIFF size " << size << ": " << err;
  }
}

TEST(HeaderDeathTest, RejectsHeadersItCannotUse) {
  const std::string corrupted = "tapsum: Corrupted WAV header.\n";
  const std::pair<std::string, std::string> rows[] = {
      {"RIFX" + wav_header(1, 8, 4).substr(4), "tapsum: Not a WAV file.\n"},
      {"RIFF" + le32(36) + "WAVELIST" + le32(4) + "abcd" + wav_header(1, 8, 4).substr(12),
       corrupted},  // a chunk before the format chunk
      {riff_fmt(36, 16, 1, 0, 8), "tapsum: Number of channels (0) not supported.\n"},
      {riff_fmt(36, 16, 1, 3, 8), "tapsum: Number of channels (3) not supported.\n"},
      // Channels and bits are unsigned 16-bit fields.
      {riff_fmt(36, 16, 1, 0xFF, 8), "tapsum: Number of channels (255) not supported.\n"},
      {riff_fmt(36, 16, 1, 257, 8), "tapsum: Number of channels (257) not supported.\n"},
      {riff_fmt(36, 16, 1, 1, 24), "tapsum: Unsupported bits/sample (24) in WAV file.\n"},
      {riff_fmt(36, 16, 1, 1, 272), "tapsum: Unsupported bits/sample (272) in WAV file.\n"},
      // Still read as 16 bytes: the bit depth is the letters "da".
      {riff_fmt(36, 14, 1, 1, 8) + "data" + le32(4),
       "tapsum: Unsupported bits/sample (24932) in WAV file.\n"},
      // Only PCM, plain or extensible, is decoded: not mu-law (7), float (3),
      // an extensible chunk too short to name its format, or one naming float.
      {riff_fmt(36, 16, 7, 1, 8) + "data" + le32(4), "tapsum: Not a PCM WAV file.\n"},
      {riff_fmt(36, 18, 3, 1, 16) + "data" + le32(4), "tapsum: Not a PCM WAV file.\n"},
      {riff_fmt(36, 38, 0xFFFE, 1, 16) + "data" + le32(4), "tapsum: Not a PCM WAV file.\n"},
      {riff_fmt(36, 40, 0xFFFE, 1, 16, 3) + "data" + le32(4), "tapsum: Not a PCM WAV file.\n"},
      // Skipped forward by its size read as unsigned, past the end.
      {riff_fmt(36, 16, 1, 1, 8) + "LIST" + le32(0x80000000) + "data" + le32(4), corrupted},
  };
  for (const auto &[bytes, message] : rows)
    EXPECT_EXIT(header_stage(stream_of(bytes), tmpfile(), 0, 1, 0), testing::ExitedWithCode(2),
                testing::HasSubstr(message));
}

TEST(HeaderDeathTest, RejectsEveryTruncation) {
  for (size_t length = 0; length < chunky.size(); length++)
    EXPECT_EXIT(header_stage(stream_of(chunky.substr(0, length)), tmpfile(), 0, 1, 0),
                testing::ExitedWithCode(2),
                testing::HasSubstr(length < 8 ? "tapsum: Not a WAV file.\n"
                                              : "tapsum: Corrupted WAV header.\n"))
        << length << " bytes";
}

double decode(std::string bytes, int bits) {
  FILE *in = fmemopen(bytes.data(), bytes.size(), "rb");
  double x = 99;
  EXPECT_EQ(read_sample(in, bits, &x), 0);
  fclose(in);
  return x;
}

std::string encode(double value, int bits, int *clipped = nullptr) {
  static FILE *out = tmpfile();
  rewind(out);
  const int clip = write_sample(value, bits, out);
  if (clipped != nullptr) *clipped = clip;
  fflush(out);
  rewind(out);
  std::string bytes(bits / 8, '?');
  EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), out), bytes.size());
  return bytes;
}

TEST(Codec, RoundTripsEveryCodeAtBothDepths) {
  EXPECT_EQ(decode(std::string(1, '\0'), 8), -1.0);
  EXPECT_EQ(decode("\xff", 8), 1.0);
  EXPECT_DOUBLE_EQ(decode("\x80", 8), 1.0 / 255);  // no code is 0
  EXPECT_EQ(decode(le16(-32768), 16), -1.0);
  EXPECT_EQ(decode(le16(32767), 16), 1.0);
  EXPECT_DOUBLE_EQ(decode(le16(0), 16), 1.0 / 65535);
  for (int b = 0; b < 256; b++) {
    const std::string byte(1, static_cast<char>(b));
    ASSERT_EQ(encode(decode(byte, 8), 8), byte) << "8-bit code " << b;
    ASSERT_EQ(encode(decode(byte, 8), 16), le16(257 * b - 32768)) << "8-bit code " << b;
  }
  for (int v = -32768; v < 32768; v++) {
    ASSERT_EQ(encode(decode(le16(v), 16), 16), le16(v)) << "16-bit code " << v;
    // round((v + 32768) / 257), which never meets a tie
    const char b = static_cast<char>((2 * (v + 32768) + 257) / 514);
    ASSERT_EQ(encode(decode(le16(v), 16), 8), std::string(1, b)) << "16-bit code " << v;
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
    int code8;
    int code16;
    int clipped;
  };
  const row rows[] = {
      {0.0, 128, 0, 0},  // 127.5 and -0.5: halves go to the even code
      {1.0, 255, 32767, 0}, {std::nextafter(1.0, 2.0), 255, 32767, 1},
      {-1.0, 0, -32768, 0}, {std::nextafter(-1.0, -2.0), 0, -32768, 1},
      {NAN, 0, 0, 0},  // neither above 1 nor below -1
  };
  for (const row &r : rows) {
    int clipped8 = -1;
    int clipped16 = -1;
    EXPECT_EQ(encode(r.value, 8, &clipped8), std::string(1, static_cast<char>(r.code8))) << r.value;
    EXPECT_EQ(encode(r.value, 16, &clipped16), le16(r.code16)) << r.value;
    EXPECT_EQ(clipped8, r.clipped) << r.value;
    EXPECT_EQ(clipped16, r.clipped) << r.value;
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

}  // namespace
