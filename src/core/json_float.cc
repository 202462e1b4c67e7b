#include "core/json_float.h"

#include <bit>
#include <cstdint>

namespace pvdb::core {

namespace {

constexpr std::uint64_t kPow10[] = {1,      10,      100,      1000,      10000,
                                    100000, 1000000, 10000000, 100000000, 1000000000};
constexpr std::uint64_t kPow5[] = {1,     5,     25,     125,     625,     3125,
                                   15625, 78125, 390625, 1953125, 9765625, 48828125};

// Lower ends of the decades 10^-3 .. 10^8. As doubles they are not all exact, but
// no float lies between a power of ten and its nearest double.
constexpr double kDecades[] = {1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
constexpr int kFirstDecade = -3;
constexpr int kLastDecade = 7;

}  // namespace

// The float is m * 2^e. Scaled by 10^k so that it lies in [10^8, 10^9), the
// float, the bounds of the interval of reals that read back as it, and the
// candidate decimals all become integers over a power-of-two denominator, and
// every product below fits 52 bits for k <= 11.
bool shortest_f32_digits(float value, std::uint32_t& digits, int& count, int& exponent) {
  const double v = value;
  if (!(v >= kDecades[0] && v < kDecades[kLastDecade - kFirstDecade + 1])) return false;
  // floor(log10(2^b)) for the binary exponent b, then at most one step up:
  // without data-dependent loops the branch predictor has nothing to miss.
  const int binary = static_cast<int>(std::bit_cast<std::uint32_t>(value) >> 23) - 127;
  int decade = (binary * 78913) >> 18;
  if (decade < kFirstDecade) decade = kFirstDecade;
  decade += v >= kDecades[decade - kFirstDecade + 1] ? 1 : 0;

  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint64_t m = (bits & 0x7FFFFFu) | 0x800000u;
  const int e = static_cast<int>(bits >> 23) - 150;
  const int k = 8 - decade;
  // Four times the value and its bounds; the gap below a power of two is half.
  const bool narrow_below = (bits & 0x7FFFFFu) == 0;
  std::uint64_t low = (4 * m - (narrow_below ? 1 : 2)) * kPow5[k];
  std::uint64_t mid = 4 * m * kPow5[k];
  std::uint64_t high = (4 * m + 2) * kPow5[k];
  const int shift = k + e - 2;  // value * 10^k = mid * 2^shift
  // A decimal exactly on a bound reads back as the float whose mantissa is even.
  const bool inclusive = (m & 1) == 0;
  std::uint64_t denominator = 1;
  std::uint64_t first;  // smallest integer in the interval
  std::uint64_t last;   // largest integer in the interval
  if (shift >= 0) {
    low <<= shift;
    mid <<= shift;
    high <<= shift;
    first = inclusive ? low : low + 1;
    last = inclusive ? high : high - 1;
  } else {
    const int s = -shift;
    denominator = std::uint64_t{1} << s;
    const std::uint64_t mask = denominator - 1;
    first = (low >> s) + ((inclusive && (low & mask) == 0) ? 0 : 1);
    last = (high >> s) - ((!inclusive && (high & mask) == 0) ? 1 : 0);
  }

  // Drop digits while some multiple of the coarser unit stays in the interval,
  // dividing the float's integer part along: truncating twice by ten truncates by
  // a hundred.
  std::uint64_t whole = mid >> (shift >= 0 ? 0 : -shift);
  int dropped = 0;
  while (dropped < 8) {
    const std::uint64_t coarse_first = (first + 9) / 10;
    const std::uint64_t coarse_last = last / 10;
    if (coarse_first > coarse_last) break;
    first = coarse_first;
    last = coarse_last;
    whole /= 10;
    ++dropped;
  }
  // The candidate nearest the float, ties to even.
  const std::uint64_t unit = denominator * kPow10[dropped];
  std::uint64_t candidate = whole;
  const std::uint64_t remainder = mid - candidate * unit;
  if (2 * remainder > unit || (2 * remainder == unit && (candidate & 1) != 0)) ++candidate;
  if (candidate < first) candidate = first;
  if (candidate > last) candidate = last;
  // Nine digits less those dropped, or one more when rounding reached the next power.
  int length = 9 - dropped + (candidate >= kPow10[9 - dropped] ? 1 : 0);
  while (candidate % 10 == 0) {
    candidate /= 10;
    ++dropped;
    --length;
  }
  digits = static_cast<std::uint32_t>(candidate);
  count = length;
  exponent = decade - 8 + dropped + length - 1;
  return true;
}

}  // namespace pvdb::core
