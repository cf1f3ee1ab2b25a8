// The WAV files' header and codec, checked in this process.
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
  decode_frames(bytes, *depth_of(16), 1, 65536, x.data(), nullptr,
                avx2_codecs(kernel_level_in_use()));
  for (int v = -32768; v < 32768; v++)
    ASSERT_EQ(x[v + 32768], static_cast<double>((2 * extended(v) + 1) / 65535)) << v;
  decode_frames(bytes, *depth_of(8), 1, 256, x.data(), nullptr, true);
  for (int b = 0; b < 256; b++)
    ASSERT_EQ(x[b], static_cast<double>(2 * extended(bytes[b]) / 255 - 1)) << b;
}

// The placeholders streaming writers put for a length they don't know yet,
// sox's and ffmpeg's, read to the end of an input that can't seek; from a
// file, and any other size, they are the length declared. The format line
// shows the declared frames either way.
TEST(Header, ReadsPlaceholderSizesFromAPipeToTheEnd) {
  for (const uint32_t size : {0x7FFFF000u, 0xFFFFFFFFu, 0x7FFFF004u})
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
