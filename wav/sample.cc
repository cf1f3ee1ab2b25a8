// The sample codec: the depths' codes to and from normalised doubles.
//
// Every depth maps its full range onto exactly -1..+1 with no code at 0:
// x = 2b/255 - 1 for 8-bit unsigned codes and x = (2v + 1)/65535 for 16-bit
// signed ones (wav.h). The formulas are evaluated in the extended format and
// rounded to double where a value is stored or passed on; results that land
// on half a code after filtering depend on those bits.
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "base/extended.h"
#include "base/streams.h"
#include "wav/bytes.h"
#include "wav/wav.h"

namespace {

// The depths tapsum reads and writes: integer codes of 8 (offset binary),
// 16, 24 and 32 bits, and IEEE floats of 32 and 64 bits, whose samples are
// their own values.
constexpr sample_depth DEPTH8 = {8, 1, false, true, 0, 255, 255.0, 127.5};
constexpr sample_depth DEPTH16 = {16, 2, false, false, -32768, 32767, 65535.0, 32767.5};
constexpr sample_depth DEPTH24 = {24, 3, false, false, -8388608, 8388607, 16777215.0, 8388607.5};
constexpr sample_depth DEPTH32 = {32,          4,          false,        false,
                                  -2147483648, 2147483647, 4294967295.0, 2147483647.5};
constexpr sample_depth FLOAT32 = {32, 4, true, false, 0, 0, 0, 0};
constexpr sample_depth FLOAT64 = {64, 8, true, false, 0, 0, 0, 0};

// The extended-format formulas, rounded to double as they are stored.
constexpr double decoded8(int b) {
  return static_cast<double>(decoded_value<extended>(DEPTH8, b));
}

constexpr double decoded16(int v) {
  return static_cast<double>(decoded_value<extended>(DEPTH16, v));
}

constexpr std::array<double, 256> make_values8() {
  std::array<double, 256> values{};
  for (int b = 0; b < 256; b++) values[b] = decoded8(b);
  return values;
}

// (2v + 1) / 65535 without a division. 1/65535 is 2^-16 + 2^-32 + 2^-48 +
// ..., so the quotient is n = 2v + 1 times first part, exact in double (n has
// 17 bits, the part 33), plus n times the rest, 2^-64 / (1 - 2^-16) rounded
// to double, rounded once where the two are added.
constexpr double FIRST_PART = 0x1p-16 + 0x1p-32 + 0x1p-48;
constexpr double REST = 0x1.000100010001p-64;
constexpr double quick16(int v) {
  const double n = 2.0 * v + 1.0;
  return n * FIRST_PART + n * REST;
}

// The 16-bit codes for which quick16 is not the extended quotient rounded to
// double: the extended format rounds first to 64 bits, and for these the
// second rounding, to 53, then goes the other way. One bit per code, indexed
// by the code's two bytes as read.
constexpr std::array<uint64_t, 1024> make_twice_rounded() {
  std::array<uint64_t, 1024> bits{};
  for (int v = -32768; v < 32768; v++)
    if (decoded16(v) != quick16(v)) bits[(v & 0xFFFF) >> 6] |= uint64_t{1} << (v & 63);
  return bits;
}

// Both made by the compiler: nothing is computed at start-up, and neither
// table is larger than the first-level cache.
constexpr std::array<double, 256> values8 = make_values8();
constexpr std::array<uint64_t, 1024> twice_rounded = make_twice_rounded();

// Every code whose decoding quick16 gets wrong has a low byte of 0x00 or
// 0xFF (0x8200, 0x45FF, ...): only those are looked up.
bool maybe_twice_rounded(int code) {
  return ((code + 1) & 0xFF) < 2 && (twice_rounded[code >> 6] >> (code & 63) & 1);
}

// The value of a 16-bit code given by its two bytes as read.
double value16(int code) {
  const int v = static_cast<int16_t>(code);
  return maybe_twice_rounded(code) ? decoded16(v) : quick16(v);
}

// Decodes count samples of 16 bits, every step-th from bytes.
void decode16(const unsigned char *bytes, int step, int count, double *to) {
  for (int i = 0; i < count; i++)
    to[i] = value16(bytes[2 * step * i] | bytes[2 * step * i + 1] << 8);
}

#ifdef __x86_64__
// The same, four samples at a time with AVX2, the same operations in each
// lane; codes that may be rounded twice go through decode16.
__attribute__((target("avx2"))) void decode16_avx2(const unsigned char *bytes, int step, int count,
                                                   double *to) {
  const __m256d first = _mm256_set1_pd(FIRST_PART);
  const __m256d rest = _mm256_set1_pd(REST);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m128i low_byte = _mm_set1_epi32(0xFF);
  const __m128i two = _mm_set1_epi32(2);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    __m128i v;
    if (step == 1) {
      v = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(bytes + 2 * i)));
    } else {
      // Four stereo frames: this channel's samples are the even 16-bit lanes.
      const __m128i frames = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 4 * i));
      v = _mm_srai_epi32(_mm_slli_epi32(frames, 16), 16);
    }
    const __m256d x = _mm256_cvtepi32_pd(v);
    const __m256d n = _mm256_add_pd(_mm256_add_pd(x, x), one);
    _mm256_storeu_pd(to + i, _mm256_add_pd(_mm256_mul_pd(n, first), _mm256_mul_pd(n, rest)));
    const __m128i edge =
        _mm_cmplt_epi32(_mm_and_si128(_mm_add_epi32(v, _mm_set1_epi32(1)), low_byte), two);
    if (_mm_movemask_epi8(edge) != 0) decode16(bytes + 2 * step * i, step, 4, to + i);
  }
  decode16(bytes + 2 * step * i, step, count - i, to + i);
}

#endif

// The code of bytes, a sample of depth's bytes, low byte first: the value
// of its bits, sign-extended for codes in two's complement.
int64_t code_of(const unsigned char *bytes, const sample_depth &depth) {
  uint64_t bits = 0;
  for (int i = depth.bytes - 1; i >= 0; i--) bits = bits << 8 | bytes[i];
  if (depth.floating || depth.offset_binary) return static_cast<int64_t>(bits);
  const int unused = 64 - 8 * depth.bytes;
  return static_cast<int64_t>(bits << unused) >> unused;
}

// A sample's value: a float's own, the formula's for an integer code. A
// float that is infinite or not a number is read as 0, and counted.
double value_of(int64_t code, const sample_depth &depth, bool *not_finite) {
  if (!depth.floating) return static_cast<double>(decoded_value<extended>(depth, code));
  const double x = depth.bits == 32 ? std::bit_cast<float>(static_cast<uint32_t>(code))
                                    : std::bit_cast<double>(static_cast<uint64_t>(code));
  *not_finite = !std::isfinite(x);
  return *not_finite ? 0.0 : x;
}

// Decodes count samples of depth, every step-th sample from bytes; returns
// how many were not finite.
uint64_t decode_any(const unsigned char *bytes, const sample_depth &depth, int step, int count,
                    double *to) {
  uint64_t not_finite = 0;
  for (int i = 0; i < count; i++) {
    bool bad = false;
    to[i] =
        value_of(code_of(bytes + static_cast<size_t>(i) * step * depth.bytes, depth), depth, &bad);
    not_finite += bad;
  }
  return not_finite;
}

// The 32-bit float nearest value, ties to even, as a code: its bits. Past
// the largest float by half its last place or more, infinity; the
// conversion itself is left only values in range.
int64_t float32_code(double value) {
  constexpr double overflow = 0x1.ffffffp127;
  float f;
  if (std::fabs(value) >= overflow)
    f = value > 0 ? HUGE_VALF : -HUGE_VALF;
  else
    f = static_cast<float>(value);
  return std::bit_cast<uint32_t>(f);
}

// Writes a code of depth's bytes, low byte first; a failed write ends the
// process.
void write_code(int64_t code, const sample_depth &depth, byte_stream &stream) {
  for (int i = 0; i < depth.bytes; i++)
    put_byte(stream, static_cast<unsigned char>(static_cast<uint64_t>(code) >> 8 * i & 0xFF));
}
}  // namespace

const sample_depth *depth_of(int bits, bool floating) {
  if (floating) return bits == 32 ? &FLOAT32 : bits == 64 ? &FLOAT64 : nullptr;
  switch (bits) {
    case 8:
      return &DEPTH8;
    case 16:
      return &DEPTH16;
    case 24:
      return &DEPTH24;
    case 32:
      return &DEPTH32;
  }
  return nullptr;
}

int read_sample(byte_stream &stream, const sample_depth &depth, double *out) {
  unsigned char bytes[8];
  for (int i = 0; i < depth.bytes; i++) {
    const int c = next_byte(stream);
    if (c < 0) return 1;
    bytes[i] = static_cast<unsigned char>(c);
  }
  return decode_frames(bytes, depth, 1, 1, out, nullptr, false) != 0 ? 2 : 0;
}

uint64_t decode_frames(const unsigned char *bytes, const sample_depth &depth, int channels,
                       int frames, double *ch1, double *ch2, bool vector) {
  if (depth.bits == 8) {
    for (int i = 0; i < frames; i++) ch1[i] = values8[bytes[channels * i]];
    if (channels == 2)
      for (int i = 0; i < frames; i++) ch2[i] = values8[bytes[2 * i + 1]];
    return 0;
  }
  if (depth.bits == 16 && !depth.floating) {
#ifdef __x86_64__
    if (vector) {
      decode16_avx2(bytes, channels, frames, ch1);
      if (channels == 2) decode16_avx2(bytes + 2, 2, frames, ch2);
      return 0;
    }
#else
    (void)vector;
#endif
    decode16(bytes, channels, frames, ch1);
    if (channels == 2) decode16(bytes + 2, 2, frames, ch2);
    return 0;
  }
  uint64_t not_finite = decode_any(bytes, depth, channels, frames, ch1);
  if (channels == 2) not_finite += decode_any(bytes + depth.bytes, depth, 2, frames, ch2);
  return not_finite;
}

int64_t sample_code(double value, const sample_depth &depth, bool *clipped) {
  *clipped = false;
  // NaN is neither clipped nor a float's value; its code is 0.
  if (std::isnan(value)) return 0;
  if (depth.floating) {
    return depth.bits == 32 ? float32_code(value)
                            : static_cast<int64_t>(std::bit_cast<uint64_t>(value));
  }
  if (value > 1) {
    value = 1;
    *clipped = true;
  } else if (value < -1) {
    value = -1;
    *clipped = true;
  }
  return static_cast<int64_t>(rint(static_cast<double>(scaled_value<extended>(depth, value))));
}

void encode_frames(const int32_t *const *low, const int32_t *const *high, int channels, int frames,
                   const sample_depth &depth, unsigned char *bytes) {
  const size_t size = static_cast<size_t>(depth.bytes);
  for (int c = 0; c < channels; c++) {
    const int32_t *codes = low[c];
    unsigned char *at = bytes + static_cast<size_t>(c) * size;
    const size_t stride = static_cast<size_t>(channels) * size;
    switch (depth.bytes) {
      case 1:
        for (int i = 0; i < frames; i++) at[i * stride] = static_cast<unsigned char>(codes[i]);
        break;
      case 2:
        for (int i = 0; i < frames; i++)
          put_u16_le(at + i * stride, static_cast<uint32_t>(codes[i]));
        break;
      case 8:
        for (int i = 0; i < frames; i++) {
          put_u32_le(at + i * stride, static_cast<uint32_t>(codes[i]));
          put_u32_le(at + i * stride + 4, static_cast<uint32_t>(high[c][i]));
        }
        break;
      default:
        for (int i = 0; i < frames; i++)
          for (size_t k = 0; k < size; k++)
            at[i * stride + k] =
                static_cast<unsigned char>(static_cast<uint32_t>(codes[i]) >> 8 * k);
    }
  }
}

bool write_sample(double value, const sample_depth &depth, byte_stream &stream) {
  bool clipped = false;
  write_code(sample_code(value, depth, &clipped), depth, stream);
  return clipped;
}

double weight_of(const unsigned char *bytes, const sample_depth &depth) {
  const int64_t code = code_of(bytes, depth);
  if (depth.floating) {
    bool not_finite = false;
    const double x = value_of(code, depth, &not_finite);
    return not_finite ? NAN : x;
  }
  const int64_t middle = depth.offset_binary ? int64_t{1} << (depth.bits - 1) : 0;
  return std::ldexp(static_cast<double>(code - middle), 1 - depth.bits);
}
