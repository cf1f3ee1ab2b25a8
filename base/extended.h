// The extended format: a 64-bit significand, rounded to nearest with ties to even.
//
// The filter's products and running sums and the codec's formulas are
// evaluated in this format, and the results that land on half a code depend
// on its bits. On x86-64 it is the x87's long double, the default there
// because it is faster. Where long double is another format (double on some
// compilers, IEEE quad on arm64 Linux), or where the build asks for it
// (TAPSUM_SOFT_EXTENDED), it is soft_extended below, which computes the same
// bits.
//
// What the system computes in the format, and so all soft_extended does:
// conversions from double and small integers (exact), products, sums and
// differences, the decoding quotients by 2^b - 1, comparison and
// magnitude, and conversion to double. The ranges that can occur:
// - a double is at most 2^1024 and at least 2^-1074, so a product of two is
//   between 2^-2148 and 2^2048, a sum of 2^20 such products (the most taps)
//   below 2^2068, and the codec's values and the peak times 100 are
//   smaller still: far inside the format's exponent range (2^-16382 to
//   2^16384), so no value of the format itself overflows or is subnormal,
//   and its exponent needs no bounds;
// - only the conversion to double can overflow (to infinity) or land on a
//   subnormal, and it rounds once, as the x87 does;
// - infinity enters only from a double (a running sum rounded to double, or
//   a peak, that overflowed); it stays infinity through sums with finite
//   values and products with finite non-zero ones. NaN never enters: the
//   coefficients and samples are finite (a float input's infinities and
//   NaNs are read as 0), and the codec tests for NaN first.
#pragma once

#include <bit>
#include <cstdint>

#if defined(TAPSUM_SOFT_EXTENDED) || !defined(__LDBL_MANT_DIG__) || __LDBL_MANT_DIG__ != 64
#define TAPSUM_EXTENDED_IS_SOFT 1
#endif

struct soft_extended {
  uint64_t sig;  // the significand, its top bit set; 0 for zero
  int exp;       // the exponent of the significand's top bit; INFINITE for infinity
  bool neg;

  static constexpr int INFINITE = 1 << 20;

  constexpr soft_extended() : sig(0), exp(0), neg(false) {}
  constexpr soft_extended(uint64_t s, int e, bool n) : sig(s), exp(e), neg(n) {}
  // Exact, as every double and int is in the format.
  constexpr soft_extended(double d) : sig(0), exp(0), neg(false) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    neg = bits >> 63 != 0;
    const int biased = static_cast<int>(bits >> 52 & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) {
      sig = uint64_t{1} << 63;
      exp = INFINITE;
    } else if (biased != 0) {
      sig = (fraction | uint64_t{1} << 52) << 11;
      exp = biased - 1023;
    } else if (fraction != 0) {
      const int zeros = std::countl_zero(fraction);
      sig = fraction << zeros;
      exp = 63 - zeros - 1074;
    }
  }
  constexpr soft_extended(int i) : soft_extended(int64_t{i}) {}
  constexpr soft_extended(int64_t i) : sig(0), exp(0), neg(i < 0) {
    const uint64_t m = i < 0 ? uint64_t{0} - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    if (m != 0) {
      const int zeros = std::countl_zero(m);
      sig = m << zeros;
      exp = 63 - zeros;
    }
  }

  // Rounded once, to nearest with ties to even: to a subnormal below
  // 2^-1022, to infinity from 2^1024 on.
  constexpr explicit operator double() const {
    const uint64_t sign = neg ? uint64_t{1} << 63 : 0;
    if (exp == INFINITE) return std::bit_cast<double>(sign | uint64_t{0x7FF} << 52);
    if (sig == 0) return std::bit_cast<double>(sign);
    // The significand's bits kept: 53 for a normal result, fewer below.
    const int dropped = exp >= -1022 ? 11 : 11 + (-1022 - exp);
    if (dropped > 64) return std::bit_cast<double>(sign);
    const uint64_t kept = dropped == 64 ? 0 : sig >> dropped;
    const uint64_t rest = dropped == 64 ? sig : sig << (64 - dropped);
    const uint64_t half = uint64_t{1} << 63;
    uint64_t mantissa = kept + (rest > half || (rest == half && (kept & 1) != 0) ? 1 : 0);
    if (exp < -1022) return std::bit_cast<double>(sign | mantissa);  // 2^52 is the least normal
    int e = exp;
    if (mantissa >> 53 != 0) {
      mantissa >>= 1;
      e++;
    }
    if (e > 1023) return std::bit_cast<double>(sign | uint64_t{0x7FF} << 52);
    return std::bit_cast<double>(sign | static_cast<uint64_t>(e + 1023) << 52 |
                                 (mantissa & ((uint64_t{1} << 52) - 1)));
  }
};

namespace extended_detail {

__extension__ typedef unsigned __int128 u128;

constexpr int leading_zeros(u128 m) {
  const uint64_t high = static_cast<uint64_t>(m >> 64);
  const int low_zeros = std::countl_zero(static_cast<uint64_t>(m));
  return std::countl_zero(high) + (high == 0 ? low_zeros : 0);
}

// The value (m + f) * 2^(top - 127), m not zero and f in [0, 1), f > 0 when
// sticky, rounded to 64 bits. Callers shift m left by less than 63 when
// sticky is set, so that f stays below the bit that decides a tie.
constexpr soft_extended rounded(u128 m, int top, bool neg, bool sticky) {
  const int zeros = leading_zeros(m);
  m <<= zeros;
  top -= zeros;
  uint64_t high = static_cast<uint64_t>(m >> 64);
  const uint64_t low = static_cast<uint64_t>(m);
  const bool half = low >> 63 != 0;
  const bool beyond = (low << 1) != 0 || sticky;
  if (half && (beyond || (high & 1) != 0)) {
    high++;
    if (high == 0) {
      high = uint64_t{1} << 63;
      top++;
    }
  }
  return {high, top, neg};
}

}  // namespace extended_detail

constexpr soft_extended operator-(soft_extended a) {
  a.neg = !a.neg;
  return a;
}

// The 64 bits sig and the bits below them, rest (left-aligned), rounded to
// nearest with ties to even; a carry out of the top moves the exponent.
// Written without branches on the bits, which are as good as random: the
// exact sums run through here twice for every tap.
[[gnu::always_inline]] constexpr soft_extended round_bits(uint64_t sig, uint64_t rest, int exp,
                                                          bool neg) {
  const uint64_t half = uint64_t{1} << 63;
  sig += static_cast<uint64_t>(rest > half) | (static_cast<uint64_t>(rest == half) & sig & 1);
  if (sig == 0) [[unlikely]] {
    sig = half;
    exp++;
  }
  return {sig, exp, neg};
}

[[gnu::always_inline]] constexpr soft_extended operator*(soft_extended a, soft_extended b) {
  using extended_detail::u128;
  const bool neg = a.neg != b.neg;
  if (a.exp == soft_extended::INFINITE || b.exp == soft_extended::INFINITE) [[unlikely]]
    return {uint64_t{1} << 63, soft_extended::INFINITE, neg};
  if (a.sig == 0 || b.sig == 0) [[unlikely]]
    return {0, 0, neg};
  // The product of two significands with their top bits set has its top
  // bit at 127 or 126; below, it moves up one.
  const u128 p = u128{a.sig} * b.sig;
  const uint64_t high = static_cast<uint64_t>(p >> 64), low = static_cast<uint64_t>(p);
  const uint64_t top = high >> 63, below = 1 - top;
  return round_bits(high << below | (low >> 63 & below), low << below,
                    a.exp + b.exp + static_cast<int>(top), neg);
}

namespace extended_detail {

// a + b for the cases the common path leaves: infinity, zero, exponents 63
// or more apart (bits that fall off the end), and cancellation that leaves
// nothing in the top 64 bits.
constexpr soft_extended rare_sum(soft_extended a, soft_extended b) {
  if (a.exp == soft_extended::INFINITE) return a;
  if (b.exp == soft_extended::INFINITE) return b;
  if (b.sig == 0) return a.sig == 0 ? soft_extended{0, 0, a.neg && b.neg} : a;
  if (a.sig == 0) return b;
  if (b.exp > a.exp || (b.exp == a.exp && b.sig > a.sig)) {
    const soft_extended t = a;
    a = b;
    b = t;
  }
  const int shift = a.exp - b.exp;
  const u128 big = u128{a.sig} << 63;
  const u128 small = u128{b.sig} << 63;
  u128 moved = 0;
  bool sticky = true;
  if (shift < 128) {
    moved = small >> shift;
    sticky = shift > 63 && (small << (128 - shift)) != 0;
  }
  if (a.neg == b.neg) return rounded(big + moved, a.exp + 1, a.neg, sticky);
  // A difference with bits of b fallen off is a little below big - moved:
  // one less, and sticky.
  const u128 difference = big - moved - (sticky ? 1 : 0);
  if (difference == 0) return {0, 0, false};
  return rounded(difference, a.exp + 1, a.neg, sticky);
}

}  // namespace extended_detail

// The common path in 64-bit words, without a branch on the signs or on the
// bits: the exact sums run through here once for every tap.
[[gnu::always_inline]] constexpr soft_extended operator+(soft_extended a, soft_extended b) {
  const bool special = a.exp == soft_extended::INFINITE || b.exp == soft_extended::INFINITE ||
                       a.sig == 0 || b.sig == 0;
  // x the larger in magnitude, y the other, chosen by masks: a compiler
  // turns a choice written as a condition into a branch, taken at random.
  const bool swap = b.exp > a.exp || (b.exp == a.exp && b.sig > a.sig);
  const uint64_t swap_mask = uint64_t{0} - swap;
  const uint64_t x_sig = a.sig ^ ((a.sig ^ b.sig) & swap_mask);
  const uint64_t y_sig = a.sig ^ b.sig ^ x_sig;
  const int x_exp = a.exp ^ ((a.exp ^ b.exp) & -static_cast<int>(swap));
  const int shift = x_exp - (a.exp ^ b.exp ^ x_exp);
  const bool x_neg = a.neg != (swap && a.neg != b.neg);
  if (special || shift > 62) [[unlikely]]
    return extended_detail::rare_sum(a, b);
  // x's significand at bits 63 to 126 of (high, low), y's shifted to its
  // place, negated when the signs differ: exact, and so is the sum.
  const uint64_t x_high = x_sig >> 1, x_low = x_sig << 63;
  const uint64_t negate = uint64_t{0} - (a.neg != b.neg);
  const uint64_t y_high = (y_sig >> (shift + 1)) ^ negate, y_low = (y_sig << (63 - shift)) ^ negate;
  // y negated is its bits flipped, plus one, carried into the sum.
  const uint64_t low_part = x_low + y_low;
  const uint64_t low = low_part + (negate & 1);
  const uint64_t carry =
      static_cast<uint64_t>(low_part < x_low) + static_cast<uint64_t>(low < low_part);
  const uint64_t high = x_high + y_high + carry;
  if (high == 0) [[unlikely]]
    return extended_detail::rare_sum(a, b);
  const int zeros = std::countl_zero(high);
  return round_bits(high << zeros | (low >> 1) >> (63 - zeros), low << zeros, x_exp + 1 - zeros,
                    x_neg);
}

constexpr soft_extended operator-(soft_extended a, soft_extended b) {
  return a + -b;
}

// Quotients of finite values by a non-zero one: the codec's formulas divide
// by 255 and 65535.
constexpr soft_extended operator/(soft_extended a, soft_extended b) {
  using extended_detail::u128;
  const bool neg = a.neg != b.neg;
  if (a.sig == 0) return {0, 0, neg};
  const u128 numerator = u128{a.sig} << 64;
  u128 q = numerator / b.sig;
  u128 r = numerator % b.sig;
  int top = a.exp - b.exp + 63;
  // At least 65 bits of quotient, so that the remainder stays below the
  // bit that decides a tie.
  if (q >> 64 == 0) {
    r <<= 1;
    q = q << 1 | (r >= b.sig ? 1 : 0);
    if (r >= b.sig) r -= b.sig;
    top--;
  }
  return extended_detail::rounded(q, top, neg, r != 0);
}

constexpr soft_extended magnitude(soft_extended a) {
  a.neg = false;
  return a;
}

// Whether a < b.
constexpr bool operator<(soft_extended a, soft_extended b) {
  const bool a_zero = a.sig == 0, b_zero = b.sig == 0;
  if (a_zero && b_zero) return false;
  if (a.neg != b.neg || a_zero || b_zero) {
    const bool a_below_zero = a.neg && !a_zero, b_below_zero = b.neg && !b_zero;
    const bool a_above_zero = !a.neg && !a_zero, b_above_zero = !b.neg && !b_zero;
    return (a_below_zero && !b_below_zero) || (!a_above_zero && b_above_zero);
  }
  const bool smaller = a.exp < b.exp || (a.exp == b.exp && a.sig < b.sig);
  const bool larger = a.exp > b.exp || (a.exp == b.exp && a.sig > b.sig);
  return a.neg ? larger : smaller;
}
constexpr bool operator>(soft_extended a, soft_extended b) {
  return b < a;
}
constexpr bool operator<=(soft_extended a, soft_extended b) {
  return !(b < a);
}
constexpr bool operator>=(soft_extended a, soft_extended b) {
  return !(a < b);
}

#ifdef TAPSUM_EXTENDED_IS_SOFT
using extended = soft_extended;
#else
using extended = long double;
constexpr long double magnitude(long double a) {
  return __builtin_fabsl(a);
}
#endif
