// base/: the progress schedule, and the extended format of the project's own against the x87's.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/extended.h"
#include "base/report.h"
#include "tests/support.h"
#include "wav/wav.h"

namespace {

// The percentage at its edges: none for 100 declared frames or fewer, nor
// for a run read to the end; for 101 and 102 a mark at every frame of the
// steady phase; through 45 taps, whose steady phase starts at frame 46, the
// first of 1000 frames' marks is at 50, then one every 10 up to 1000.
TEST(Report, ShowsProgressAtItsMarks) {
  const struct {
    uint32_t declared;
    int taps;
    bool to_end;
    std::string shown;
  } rows[] = {
      {100, 1, false, ""},
      {101, 99, false, "\r 99% done\r100% done\n"},
      {102, 100, false, "\r 99% done\r100% done\n"},
      {101, 99, true, ""},
  };
  for (const auto &r : rows) {
    testing::internal::CaptureStderr();
    report_progress(schedule_progress(r.declared, r.taps, r.to_end), 1, r.declared);
    end_progress_line();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.shown) << r.declared << " frames";
  }
  testing::internal::CaptureStderr();
  const progress_schedule thousand = schedule_progress(1000, 45, false);
  for (uint64_t frame = 1; frame <= 1000; frame += 7)
    report_progress(thousand, frame, std::min<uint64_t>(frame + 6, 1000));
  end_progress_line();
  const std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(shown.starts_with("\r  5% done\r  6% done")) << shown.substr(0, 40);
  EXPECT_TRUE(shown.ends_with("\r100% done\n"));
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '%'), 96);
}

// The x87's format is long double's on x86-64 alone; elsewhere there is
// nothing to hold the project's own type to.
bool has_x87() {
  return __LDBL_MANT_DIG__ == 64 && sizeof(long double) >= 10;
}

// Random and adversarial operations of each kind: 10^7 in the release build,
// fewer where a sanitizer slows every step; TAPSUM_EXTENDED_OPERATIONS sets
// the count.
long operations() {
  if (const char *count = getenv("TAPSUM_EXTENDED_OPERATIONS")) return atol(count);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 300000;
#else
  return 10000000;
#endif
}

std::mt19937_64 random_bits(24);

long double x87(soft_extended a) {
  if (a.exp == soft_extended::INFINITE) return a.neg ? -HUGE_VALL : HUGE_VALL;
  const long double m = std::ldexp(static_cast<long double>(a.sig), a.exp - 63);
  return a.neg ? -m : m;
}

// The x87 value as the project's type: its 64-bit significand, its 15-bit
// biased exponent and its sign, as they lie in memory.
soft_extended ours(long double x) {
  unsigned char bytes[sizeof x];
  memcpy(bytes, &x, sizeof x);
  uint64_t sig;
  memcpy(&sig, bytes, 8);
  const int biased = (bytes[8] | bytes[9] << 8) & 0x7FFF;
  const bool neg = bytes[9] >> 7 != 0;
  if (biased == 0x7FFF) return {uint64_t{1} << 63, soft_extended::INFINITE, neg};
  if (sig == 0) return {0, 0, neg};
  return {sig, biased - 16383, neg};
}

bool same(soft_extended a, long double b) {
  const long double ours_as_x87 = x87(a);
  return memcmp(&ours_as_x87, &b, 10) == 0;
}

bool same(double a, double b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

std::string show(long double x) {
  char text[64];
  snprintf(text, sizeof text, "%La", x);
  return text;
}

// Any finite double, subnormals and zeros included, every exponent alike.
double any_double() {
  for (;;) {
    const double d = std::bit_cast<double>(random_bits());
    if (std::isfinite(d)) return d;
  }
}

// Doubles that make ties and cancellation likely: few significant bits, or
// near a power of two, at exponents across the whole range.
double adversarial_double() {
  const int kind = static_cast<int>(random_bits() % 4);
  const int e = static_cast<int>(random_bits() % 2098) - 1074;
  const double sign = random_bits() & 1 ? -1.0 : 1.0;
  if (kind == 0) return sign * std::ldexp(static_cast<double>(random_bits() % 64 + 1), e);
  if (kind == 1) return sign * std::ldexp(1.0 + std::ldexp(1.0, -52) * (random_bits() % 3), e);
  if (kind == 2) return sign * std::ldexp(2.0 - std::ldexp(1.0, -52) * (random_bits() % 3), e);
  return any_double();
}

// A value of the format with any 64-bit significand, at exponents whose
// products and sums stay far inside the format's range.
long double any_extended() {
  const uint64_t sig = random_bits() | uint64_t{1} << 63;
  const long double m =
      std::ldexp(static_cast<long double>(sig), static_cast<int>(random_bits() % 4000) - 2000 - 63);
  return random_bits() & 1 ? -m : m;
}

// A value of the format near a: a few bits off; shifted so that its bits
// fall on and around the 64th of a's; or its top bit just below a's 64th
// and a low bit beyond the end, which only the sticky bit remembers.
long double near(long double a) {
  const int kind = static_cast<int>(random_bits() % 4);
  if (kind == 3)
    return std::ldexp(0x1p63L + static_cast<long double>(1u << (random_bits() % 8)),
                      std::ilogb(a) - 127 - static_cast<int>(random_bits() % 4)) *
           (random_bits() & 1 ? 1 : -1);
  if (kind == 0) return -a + std::ldexp(a, -static_cast<int>(random_bits() % 70));
  if (kind == 1)
    return std::ldexp(a, -static_cast<int>(random_bits() % 130)) * (random_bits() & 1 ? 1 : -1);
  return std::ldexp(static_cast<long double>(random_bits() % 8 + 1),
                    std::ilogb(a) - 60 - static_cast<int>(random_bits() % 8));
}

// The codec's formulas, as wav.h writes them, in both number types: every
// code of each depth decoded, and the scaled values around every half code
// and clip edge (the value whose scaling lands on the half, and the 8
// doubles either side).
TEST(Extended, DecodesAndEncodesEveryCodeAsTheX87) {
  if (!has_x87()) GTEST_SKIP() << "long double is not the x87's format on this machine";
  for (const int bits : {8, 16, 24, 32}) {
    const sample_depth &d = *depth_of(bits, false);
    // Every code of 8 and 16 bits; of 24 and 32, those near the ends and
    // 65536 across the range.
    const int64_t stride = bits <= 16 ? 1 : (d.top - d.bottom) >> 16;
    auto next = [&](int64_t c) {
      return c < d.bottom + 256 || c >= d.top - 256 ? c + 1 : std::min(c + stride, d.top - 256);
    };
    for (int64_t c = d.bottom; c <= d.top; c = next(c))
      ASSERT_TRUE(same(static_cast<double>(decoded_value<soft_extended>(d, c)),
                       static_cast<double>(decoded_value<long double>(d, c))))
          << bits << "-bit code " << c;
    for (int64_t c = d.bottom - 1; c <= d.top + 1; c = c < d.bottom ? c + 1 : next(c)) {
      double value = static_cast<double>(decoded_value<long double>(d, c)) + 1 / d.full;
      for (int k = 0; k < 8; k++) value = std::nextafter(value, -2.0);
      for (int k = 0; k < 17; k++, value = std::nextafter(value, 2.0))
        ASSERT_TRUE(same(static_cast<double>(scaled_value<soft_extended>(d, value)),
                         static_cast<double>(scaled_value<long double>(d, value))))
            << bits << " bits, " << value;
    }
  }
}

TEST(Extended, ComputesEveryOperationAsTheX87) {
  if (!has_x87()) GTEST_SKIP() << "long double is not the x87's format on this machine";
  const long count = operations();
  long failures = 0;
  auto expect = [&](bool ok, const char *what, long double a, long double b) {
    if (!ok && failures++ < 10) ADD_FAILURE() << what << " of " << show(a) << " and " << show(b);
  };
  for (long i = 0; i < count; i++) {
    // Products of doubles, the filter's: any, and adversarial.
    const double d1 = i & 1 ? any_double() : adversarial_double();
    const double d2 = i & 2 ? any_double() : adversarial_double();
    expect(same(soft_extended(d1) * d2, static_cast<long double>(d1) * d2), "product", d1, d2);
    // Products of the format's values: any significand, and small integers
    // (255, 100, ...) that put ties at the 64th bit.
    const long double e1 = any_extended();
    const long double e2 = i & 4 ? any_extended() : static_cast<long double>(random_bits() % 70000);
    expect(same(ours(e1) * ours(e2), e1 * e2), "product", e1, e2);
    // Sums: any, cancelling, and with the bits of one on and around the 64th
    // of the other; a double added, as in the rounded chains.
    const long double e3 = near(e1);
    expect(same(ours(e1) + ours(e3), e1 + e3), "sum", e1, e3);
    expect(same(ours(e1) - ours(e3), e1 - e3), "difference", e1, e3);
    expect(same(ours(e1) + ours(e2), e1 + e2), "sum", e1, e2);
    expect(same(soft_extended(d1) + ours(e1), d1 + e1), "sum", d1, e1);
    // The codec's quotients.
    const long double divisor = i & 8 ? 65535.0L : 255.0L;
    expect(same(ours(e1) / ours(divisor), e1 / divisor), "quotient", e1, divisor);
    // Conversions to double: ties at the last bit a double keeps, 53 bits
    // for a normal result and fewer for a subnormal one, and significands
    // of all ones that round up to the next power of two, across the whole
    // range of double and past its ends.
    const int e = static_cast<int>(random_bits() % 2180) - 1140;
    const int dropped = e >= -1022 ? 11 : 11 + (-1022 - e);
    uint64_t sig = i & 32 ? ~uint64_t{0} : random_bits() | uint64_t{1} << 63;
    if (dropped < 64 && !(i & 32)) sig = (sig >> dropped << dropped) | uint64_t{1} << (dropped - 1);
    const long double tie = std::ldexp(static_cast<long double>(sig), e - 63) * (i & 16 ? 1 : -1);
    expect(same(static_cast<double>(ours(tie)), static_cast<double>(tie)), "conversion", tie, 0);
    expect(same(static_cast<double>(ours(e1 + e3)), static_cast<double>(e1 + e3)), "conversion",
           e1 + e3, 0);
    // Comparison and magnitude.
    expect((ours(e1) < ours(e3)) == (e1 < e3) && (ours(e3) > ours(d1)) == (e3 > d1) &&
               (ours(e1) <= ours(e1)) && same(magnitude(ours(e3)), fabsl(e3)),
           "comparison", e1, e3);
  }
  EXPECT_EQ(failures, 0) << "of " << count << " operations of each kind";
}

// Small integers, zero among them, and infinity, which enters from a double
// that overflowed: through sums, products, comparisons and back to double.
TEST(Extended, HoldsIntegersAndInfinityAsTheX87) {
  if (!has_x87()) GTEST_SKIP() << "long double is not the x87's format on this machine";
  for (int v = -70000; v <= 70000; v++)
    ASSERT_TRUE(same(soft_extended(v), static_cast<long double>(v))) << v;
  EXPECT_TRUE(same(soft_extended(), 0.0L)) << "a value made with nothing is +0";
  // Sums and products of zeros keep the sign the x87 gives them.
  for (const double a : {0.0, -0.0})
    for (const double b : {0.0, -0.0, 1.0}) {
      EXPECT_TRUE(same(soft_extended(a) + soft_extended(b), static_cast<long double>(a) + b));
      EXPECT_TRUE(same(soft_extended(a) * soft_extended(b), static_cast<long double>(a) * b));
    }
  const double finite[] = {0.0, -0.0, 1.0, -0x1p-1074, 0x1.fffffffffffffp1023};
  for (const double infinity : {HUGE_VAL, -HUGE_VAL}) {
    const soft_extended ours_infinity = infinity;
    const long double x87_infinity = infinity;
    EXPECT_TRUE(same(ours_infinity, x87_infinity));
    EXPECT_TRUE(same(static_cast<double>(ours_infinity), infinity));
    // Orders with infinity are among those below.
    for (const double d : finite) {
      EXPECT_TRUE(same(ours_infinity + d, x87_infinity + d)) << d;
      EXPECT_TRUE(same(soft_extended(d) + ours_infinity, d + x87_infinity)) << d;
      if (d != 0) {
        EXPECT_TRUE(same(ours_infinity * d, x87_infinity * d)) << d;
      }
    }
    EXPECT_TRUE(same(magnitude(ours_infinity), fabsl(x87_infinity)));
  }
  // Every order among them, signed zeros included.
  const double values[] = {0.0,      -0.0,     1.0, -1.0, -0x1p-1074, 0x1.fffffffffffffp1023,
                           HUGE_VAL, -HUGE_VAL};
  for (const double a : values)
    for (const double b : values) {
      const soft_extended x = a, y = b;
      EXPECT_TRUE((x < y) == (a < b) && (x > y) == (a > b) && (x <= y) == (a <= b) &&
                  (x >= y) == (a >= b))
          << a << " and " << b;
    }
}

}  // namespace
