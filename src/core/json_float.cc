#include "core/json_float.h"

#include <bit>
#include <cstdint>

#include "core/json_float_pow10.h"

namespace pvdb::core {

namespace {

constexpr std::uint32_t kPow10[] = {1,      10,      100,      1000,      10000,
                                    100000, 1000000, 10000000, 100000000, 1000000000};

// cp * 2^q * 10^-k (four times the float or an end of its interval, scaled) from
// the product cp * g / 2^shift (shift from 60 to 64, cp below 2^27), rounded so
// that comparing it with an even integer gives the answer the exact value would:
// the value itself when it is an integer, else its floor with the lowest bit set.
// As g exceeds the power of ten by less than one unit, the product exceeds the
// value by less than cp / 2^shift, so a fraction below 2^32 / 2^shift is taken
// for that error. No float's scaled values have a nonzero fraction that small;
// the sweep of all 2^32 patterns in the round-trip test checks it.
std::uint64_t scaled_odd(std::uint64_t g, std::uint64_t cp, int shift) {
  const std::uint64_t low = (g & 0xFFFFFFFFu) * cp;
  const std::uint64_t high = (g >> 32) * cp;
  const std::uint64_t top = high + (low >> 32);  // the product without its low 32 bits
  const int s = shift - 32;
  const std::uint64_t whole = top >> s;
  return whole | ((top & ((std::uint64_t{1} << s) - 1)) != 0 ? 1 : 0);
}

// Among the integers that read back as the float (scaled by 10^-k and four times
// the value in `vb`, the interval's ends in `vbl` and `vbr`, inclusive when
// `out` is 0) picks the one with the fewest digits nearest the float. The
// interval is under ten units wide, so at most one multiple of ten lies in it,
// and when none does the nearest integer is floor or ceiling of the value.
// Which case holds follows no pattern a branch predictor could learn, so every
// case is computed and the answer selected.
std::uint64_t pick_digits(std::uint64_t vb, std::uint64_t vbl, std::uint64_t vbr, std::uint64_t out,
                          int& k) {
  const std::uint64_t s = vb >> 2;
  const std::uint64_t tens = s / 10;
  // Each test is a 0 or a 1, combined by bit operations: compilers turn the
  // plainer conditional forms back into branches.
  const std::uint64_t lower_ten_in = vbl + out <= 40 * tens;
  const std::uint64_t upper_ten_in = 40 * tens + 40 + out <= vbr;
  const std::uint64_t lower_in = vbl + out <= 4 * s;
  const std::uint64_t upper_in = 4 * s + 4 + out <= vbr;
  // Both in: the nearer, and the even one on a tie.
  const std::uint64_t middle = 4 * s + 2;
  const std::uint64_t nearer_up = (vb > middle) | ((vb == middle) & s);
  const std::uint64_t one_in = lower_in ^ upper_in;
  const std::uint64_t up = (one_in & upper_in) | ((one_in ^ 1) & nearer_up);
  const std::uint64_t one_ten = lower_ten_in ^ upper_ten_in;
  k += static_cast<int>(one_ten);
  const std::uint64_t ten_mask = 0 - one_ten;
  return ((tens + upper_ten_in) & ten_mask) | ((s + up) & ~ten_mask);
}

}  // namespace

// The float is c * 2^q. Scaled by 10^-k, with k the decimal exponent of the
// interval's width, the interval of reals that read back as the float is from one
// to ten units wide, so its integers are the candidates of seven to nine digits,
// one of them the shortest or next to a multiple of ten that is.
F32Digits shortest_f32_digits(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t fraction = bits & 0x7FFFFFu;
  const int biased = static_cast<int>(bits >> 23);
  const std::uint64_t c = biased == 0 ? fraction : fraction | 0x800000u;
  const int q = biased == 0 ? -149 : biased - 150;
  // Above a power of two the gap below the float is half the gap above it.
  const bool irregular = fraction == 0 && biased > 1;
  // floor(log10(2^q)), or floor(log10(3/4 * 2^q)) for the narrower interval, and
  // r = floor(log2(10^-k)); exact for every float's q.
  int k = (q * 315653 - (irregular ? 131237 : 0)) >> 20;
  const int r = (-k * 1741647) >> 19;
  const int shift = 63 - q - r;
  const std::uint64_t g = kF32Pow10[k - kF32Pow10Min];
  const std::uint64_t cb = c << 2;
  const std::uint64_t vb = scaled_odd(g, cb, shift);
  const std::uint64_t vbl = scaled_odd(g, cb - (irregular ? 1 : 2), shift);
  const std::uint64_t vbr = scaled_odd(g, cb + 2, shift);
  // A decimal exactly on a bound reads back as the float whose significand is even.
  const auto d = static_cast<std::uint32_t>(pick_digits(vb, vbl, vbr, c & 1, k));
  // d has one to nine digits: the scaled value stays below 2^24 * 10.
  int length = (std::bit_width(d) * 1233) >> 12;
  length += d >= kPow10[length] ? 1 : 0;
  return {d * kPow10[9 - length], k + length - 1};
}

}  // namespace pvdb::core
