// The WAV files' header and codec, checked in this process.
#include <cmath>
#include <string>
#include <vector>

#include "base/extended.h"
#include "base/report.h"
#include "base/streams.h"
#include "filter/engine.h"
#include "tests/support.h"
#include "wav/wav.h"

namespace {

// Every code decodes to its formula in the extended format, rounded to
// double: 16-bit codes in a block (the twice-rounded ones among them), by
// the AVX2 decoder where there is one, and 8-bit ones.
TEST(Codec, DecodesEveryCodeAsTheFormulaSays) {
  std::string all;
  for (int v = -32768; v < 32768; v++) all += le16(v);
  const auto *bytes = reinterpret_cast<const unsigned char *>(all.data());
  std::vector<double> x(65536);
  decode_frames(bytes, *depth_of(16, false), 1, 65536, x.data(), nullptr,
                avx2_codecs(kernel_level_in_use()));
  for (int v = -32768; v < 32768; v++)
    ASSERT_EQ(x[v + 32768], static_cast<double>((2 * extended(v) + 1) / 65535)) << v;
  decode_frames(bytes, *depth_of(8, false), 1, 256, x.data(), nullptr, true);
  for (int b = 0; b < 256; b++)
    ASSERT_EQ(x[b], static_cast<double>(2 * extended(bytes[b]) / 255 - 1)) << b;
}

// Codes of 24 and 32 bits, at both ends and across the range, decode to the
// formula, (2v + 1) / (2^b - 1) in the extended format rounded to double,
// and encode back to themselves; a value past full scale clips to the end
// code; 0 is half a code below the middle code, and rounds to it, even.
TEST(Codec, DecodesAndEncodesCodesOf24And32Bits) {
  for (const int bits : {24, 32}) {
    const sample_depth &d = *depth_of(bits, false);
    std::vector<int64_t> codes;
    for (int64_t v = d.bottom; v < d.bottom + 300; v++) codes.push_back(v);
    for (int64_t v = d.top - 300; v <= d.top; v++) codes.push_back(v);
    for (int64_t v = d.bottom; v <= d.top; v += (d.top - d.bottom) / 100003) codes.push_back(v);
    std::string bytes;
    for (const int64_t v : codes)
      for (int k = 0; k < d.bytes; k++) bytes += static_cast<char>(v >> 8 * k);
    std::vector<double> x(codes.size());
    decode_frames(reinterpret_cast<const unsigned char *>(bytes.data()), d, 1,
                  static_cast<int>(codes.size()), x.data(), nullptr, true);
    const extended full = std::ldexp(1.0, bits) - 1;
    for (size_t i = 0; i < codes.size(); i++) {
      const extended v = static_cast<double>(codes[i]);
      ASSERT_EQ(x[i], static_cast<double>((2 * v + 1) / full)) << bits << " bits, " << codes[i];
      bool clipped = true;
      ASSERT_EQ(sample_code(x[i], d, &clipped), codes[i]) << bits << " bits";
      ASSERT_FALSE(clipped);
    }
    bool clipped = false;
    EXPECT_EQ(sample_code(std::nextafter(1.0, 2.0), d, &clipped), d.top);
    EXPECT_TRUE(clipped);
    EXPECT_EQ(sample_code(-1.5, d, &clipped), d.bottom);
    EXPECT_EQ(sample_code(0.0, d, &clipped), 0);
  }
}

// Floats are their own values, read as they lie and written as the
// nearest float, ties to even, past the largest float by half its last
// place to infinity; one infinite or not a number reads as 0, said by
// read_sample's 2; a value not a number writes the code 0.
TEST(Codec, ReadsAndWritesFloats) {
  const sample_depth &f32 = *depth_of(32, true), &f64 = *depth_of(64, true);
  const struct {
    uint32_t bits;
    double value;
    int read;
  } floats[] = {{0x3F800000, 1.0, 0},      {0xC0490FDB, -3.1415927410125732, 0},
                {0x00000001, 0x1p-149, 0}, {0x7F7FFFFF, 0x1.fffffep127, 0},
                {0x7F800000, 0, 2},        {0xFFC00000, 0, 2}};
  for (const auto &f : floats) {
    const std::string bytes = le32(f.bits);
    unsigned char buffer[16];
    byte_stream in = stream_on(memory_file(bytes), buffer, sizeof buffer, input_failed);
    double x = -7;
    EXPECT_EQ(read_sample(in, f32, &x), f.read) << f.bits;
    EXPECT_EQ(x, f.value) << f.bits;
  }
  bool clipped = false;
  const std::pair<double, uint32_t> written[] = {{1.0, 0x3F800000},
                                                 {1 + 0x1p-24, 0x3F800000},
                                                 {1 + 0x1.8p-24, 0x3F800001},
                                                 {1 + 0x1.8p-23, 0x3F800002},
                                                 {1 + 0x1p-23, 0x3F800001},
                                                 {0x1.ffffffp127, 0x7F800000},
                                                 {-0x1.fffffefp127, 0xFF7FFFFF},
                                                 {1e300, 0x7F800000},
                                                 {std::nan(""), 0},
                                                 {2.5, 0x40200000}};
  for (const auto &[value, code] : written) {
    EXPECT_EQ(sample_code(value, f32, &clipped), code) << value;
    EXPECT_FALSE(clipped);
  }
  EXPECT_EQ(sample_code(-2.5, f64, &clipped), static_cast<int64_t>(0xC004000000000000));
}

// The placeholders streaming writers put for a length they don't know yet,
// sox's, ffmpeg's and arecord's two, read to the end of an input that can't
// seek; from a file, and any other size, they are the length declared. The format line
// shows the declared frames either way.
TEST(Header, ReadsPlaceholderSizesFromAPipeToTheEnd) {
  for (const uint32_t size : {0x7FFFF000u, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFF00u, 0x7FFFF004u})
    for (const bool piped : {true, false}) {
      const std::string header = wav_header(2, 16, size);
      int fd = -1;
      if (piped) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], header.data(), header.size()), 44);
        close(ends[1]);
        fd = ends[0];
      } else {
        fd = memory_file(header);
      }
      unsigned char buffer[64];
      byte_stream in = stream_on(fd, buffer, sizeof buffer, input_failed);
      testing::internal::CaptureStderr();
      const wav_input input = read_header(in);
      EXPECT_TRUE(testing::internal::GetCapturedStderr().ends_with(
          "Input file: " + std::to_string(size / 4) +
          " samples, 8000 Hz, stereo, 16 bits/sample.\n"));
      EXPECT_EQ(input.frames, size / 4);
      EXPECT_EQ(input.to_end, piped && size != 0x7FFFF004u) << size << (piped ? " piped" : "");
      close(fd);
    }
}

}  // namespace
