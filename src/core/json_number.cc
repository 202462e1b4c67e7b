// Short decimals are read with x86's byte shuffles and pair-wise multiply-adds
// where the processor has SSSE3 (chosen at run time); other processors, and builds
// with PVDB_PORTABLE_KERNELS, read every number the ordinary way.
#if !defined(PVDB_PORTABLE_KERNELS) && (defined(__x86_64__) || defined(__i386__))
#define PVDB_SHORT_DECIMALS 1
#include <immintrin.h>
#endif

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "base/cpu.h"
#include "core/json_reader.h"
#include "core/json_writer.h"

namespace pvdb::core {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t kTwoPow53 = std::uint64_t{1} << 53;
constexpr std::uint64_t kTwoPow63 = std::uint64_t{1} << 63;

// The decimal exponent of a number's leading digit, saturated; decides whether a
// double that from_chars could not represent overflowed or underflowed.
std::int64_t leading_exponent(std::string_view number) {
  std::size_t i = number[0] == '-' ? 1 : 0;
  std::int64_t position = 0;  // digits before the point, minus leading zeros after it
  bool seen = false;
  bool fraction = false;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    if (number[i] == '.') {
      fraction = true;
    } else if (!seen && number[i] == '0') {
      if (fraction) --position;
    } else {
      seen = true;
      if (!fraction) ++position;
    }
  }
  std::int64_t exponent = 0;
  if (i < number.size()) {
    ++i;
    const bool negative = number[i] == '-';
    if (number[i] == '+' || number[i] == '-') ++i;
    for (; i < number.size() && exponent < 1'000'000'000'000; ++i) {
      exponent = exponent * 10 + (number[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return position + exponent;
}

// Mantissa digits without leading zeros; trailing zeros count.
int significant_digits(std::string_view number) {
  int count = 0;
  for (char c : number) {
    if (c == 'e' || c == 'E') break;
    if (c >= '1' && c <= '9') {
      ++count;
    } else if (c == '0' && count > 0) {
      ++count;
    }
  }
  return count;
}

// Whether a double lies exactly halfway between two adjacent floats, or so close
// to the subnormal floats that the check below does not apply.
bool near_float_tie(double value) {
  const double magnitude = value < 0 ? -value : value;
  if (magnitude < 2 * static_cast<double>(std::numeric_limits<float>::min())) return true;
  constexpr std::uint64_t kDropped = (std::uint64_t{1} << 29) - 1;  // 52 - 23 bits
  return (std::bit_cast<std::uint64_t>(value) & kDropped) == std::uint64_t{1} << 28;
}

#ifdef PVDB_SHORT_DECIMALS
// Shuffle controls for short_decimal: entry [whole][count] drops the point after
// `whole` digits of a number with `count` digits in all and right-aligns the digits
// in 16 bytes, with zeros (index 0x80) before them.
struct DigitShuffles {
  alignas(16) std::uint8_t control[16][16][16];
};

constexpr DigitShuffles make_digit_shuffles() {
  DigitShuffles s{};
  for (int whole = 0; whole < 16; ++whole) {
    for (int count = 0; count < 16; ++count) {
      for (int b = 0; b < 16; ++b) {
        const int digit = b - (16 - count);
        s.control[whole][count][b] =
            digit < 0 ? 0x80 : static_cast<std::uint8_t>(digit < whole ? digit : digit + 1);
      }
    }
  }
  return s;
}

constexpr DigitShuffles kDigitShuffles = make_digit_shuffles();

// The writer's usual number, "I.F" with no exponent, ending within the 16 bytes at
// p (all readable): its digits as one integer and the count after the point, read
// without a branch per character. Returns the end, or nullptr for any other form,
// which the caller reads the ordinary way.
__attribute__((target("ssse3"))) inline const char* short_decimal(const char* p,
                                                                  std::uint64_t& mantissa,
                                                                  int& fraction) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i values = _mm_sub_epi8(text, _mm_set1_epi8('0'));
  const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
  // Bits above the 16 bytes are set, so every count below stops inside 32 bits.
  const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
  const int whole = std::countr_zero(other);
  if (whole == 0 || whole > 13 || p[whole] != '.' || (p[0] == '0' && whole > 1)) return nullptr;
  fraction = std::countr_zero(other >> (whole + 1));
  const int stop = whole + 1 + fraction;
  if (fraction == 0 || stop >= 16 || p[stop] == 'e' || p[stop] == 'E') return nullptr;
  const auto* control =
      reinterpret_cast<const __m128i*>(kDigitShuffles.control[whole][whole + fraction]);
  const __m128i digits = _mm_shuffle_epi8(values, _mm_load_si128(control));
  // Pairs of digits, then fours, then eights: two 8-digit halves.
  const __m128i twos = _mm_maddubs_epi16(digits, _mm_set1_epi16(0x010A));
  const __m128i fours = _mm_madd_epi16(twos, _mm_set1_epi32(0x00010064));
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00012710));
  const auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
  const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
  mantissa = std::uint64_t{high} * 100'000'000 + low;
  return p + stop;
}

// -value when negative, else value, by the sign bit alone: signs in a list of
// numbers follow no pattern a branch predictor could learn.
double with_sign(double value, bool negative) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) ^
                               (std::uint64_t{negative} << 63));
}

constexpr double kInversePow10[] = {1e-0, 1e-1, 1e-2,  1e-3,  1e-4,  1e-5,  1e-6, 1e-7,
                                    1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14};

// What fast_f32 makes of the decimal mantissa / 10^fraction (fraction at most 14,
// mantissa below 10^14): the float nearest the double quotient, or false where that
// double is a float tie. A product with the reciprocal, a power of ten rounded
// once, lies within 2^-52 of the quotient relatively, two units in the last place
// at most, and costs a fraction of the division. Unless the product lies within
// four units of a point halfway between two floats, the quotient rounds to the
// same float; only then is the quotient itself formed.
__attribute__((always_inline)) inline bool short_value(std::uint64_t mantissa, int fraction,
                                                       bool negative, float& out) {
  constexpr std::uint64_t kDropped = (std::uint64_t{1} << 29) - 1;  // 52 - 23 bits
  constexpr std::uint64_t kHalfway = std::uint64_t{1} << 28;
  const double product = static_cast<double>(mantissa) * kInversePow10[fraction];
  if ((std::bit_cast<std::uint64_t>(product) & kDropped) - (kHalfway - 4) > 8) {
    out = static_cast<float>(with_sign(product, negative));
    return true;
  }
  const double value = static_cast<double>(mantissa) / kPow10[fraction];
  if (mantissa != 0 && near_float_tie(value)) return false;
  out = static_cast<float>(with_sign(value, negative));
  return true;
}

#endif

}  // namespace

float JsonNumber::to_f32() const {
  switch (kind) {
    case Kind::Unsigned:
      return static_cast<float>(u);
    case Kind::Signed:
      return static_cast<float>(i);
    case Kind::Float:
      return f32;
  }
  return 0.0f;
}

JsonFound JsonNumber::found() const {
  switch (kind) {
    case Kind::Unsigned:
      return {JsonFound::Kind::Integer, std::to_string(u)};
    case Kind::Signed:
      return {JsonFound::Kind::Integer, std::to_string(i)};
    case Kind::Float: {
      JsonFound found{JsonFound::Kind::Float, {}};
      write_json_f64(found.text, f);
      return found;
    }
  }
  return {};
}

bool JsonReader::parse_number(bool positive, JsonNumber& out) {
  const std::size_t start = positive ? pos_ : pos_ - 1;
  const std::size_t digits = pos_;
  if (at_end()) return fail_here(JsonSyntax::EofWhileParsingValue, true);
  const char first = text_[pos_++];
  if (first == '0') {
    if (is_digit(peek())) return fail_peek(JsonSyntax::InvalidNumber);
  } else if (is_digit(first)) {
    while (is_digit(peek())) ++pos_;
  } else {
    return fail_here(JsonSyntax::InvalidNumber);
  }
  const std::size_t digits_end = pos_;
  if (peek() == '.') {
    ++pos_;
    if (!is_digit(peek())) {
      if (at_end()) return fail_peek(JsonSyntax::EofWhileParsingValue, true);
      return fail_peek(JsonSyntax::InvalidNumber);
    }
    while (is_digit(peek())) ++pos_;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingValue, true);
    if (!is_digit(text_[pos_++])) return fail_here(JsonSyntax::InvalidNumber);
    while (is_digit(peek())) ++pos_;
  }
  if (pos_ == digits_end) return integer_value(positive, start, digits_end - digits, out);
  return float_value(start, out);
}

bool JsonReader::integer_value(bool positive, std::size_t start, std::size_t digits,
                               JsonNumber& out) {
  const std::string_view text = text_.substr(pos_ - digits, digits);
  std::uint64_t magnitude = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), magnitude).ec != std::errc{}) {
    return float_value(start, out);
  }
  if (positive) {
    out.kind = JsonNumber::Kind::Unsigned;
    out.u = magnitude;
  } else if (magnitude == 0 || magnitude > kTwoPow63) {
    // "-0" has no signed integer form; beyond the signed range is a float.
    out.kind = JsonNumber::Kind::Float;
    out.f = -static_cast<double>(magnitude);
    out.f32 = static_cast<float>(out.f);
  } else {
    out.kind = JsonNumber::Kind::Signed;
    out.i = static_cast<std::int64_t>(~magnitude + 1);
  }
  return true;
}

bool JsonReader::float_value(std::size_t start, JsonNumber& out) {
  const std::string_view text = text_.substr(start, pos_ - start);
  out.kind = JsonNumber::Kind::Float;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out.f);
  const bool negative = text[0] == '-';
  const bool overflow = leading_exponent(text) > 0;
  if (result.ec == std::errc::result_out_of_range) {
    if (overflow) return fail_here(JsonSyntax::NumberOutOfRange);
    out.f = negative ? -0.0 : 0.0;
  }
  out.f32 = static_cast<float>(out.f);
  if (significant_digits(text) <= 9) {
    // Rounding twice could land on the other side of a float tie.
    float direct = 0.0f;
    if (std::from_chars(text.data(), text.data() + text.size(), direct).ec == std::errc{}) {
      out.f32 = direct;
    } else {
      out.f32 = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
      if (negative) out.f32 = -out.f32;
    }
  }
  return true;
}

// Plain decimals of up to 19 digits with small exponents, the form the writer
// produces. The quotient of two exact doubles is the correctly rounded double, so
// the result equals the general path; anything else returns false untouched.
bool JsonReader::fast_f32(float& out) {
  const char* p = text_.data() + pos_;
  const char* end = text_.data() + text_.size();
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end || !is_digit(*p)) return false;
  std::uint64_t mantissa = 0;
  int count = 0;
  int exponent = 0;
  if (*p == '0') {
    if (++p < end && is_digit(*p)) return false;
  } else {
    for (; p < end && is_digit(*p); ++p, ++count) mantissa = mantissa * 10 + (*p - '0');
  }
  bool integral = true;
  if (p < end && *p == '.') {
    integral = false;
    const char* fraction = ++p;
    for (; p < end && is_digit(*p); ++p, ++count, --exponent) {
      mantissa = mantissa * 10 + (*p - '0');
    }
    if (p == fraction) return false;
  }
  if (count > 19) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    integral = false;
    const bool down = ++p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !is_digit(*p)) return false;
    int value = 0;
    for (; p < end && is_digit(*p) && value < 1000; ++p) value = value * 10 + (*p - '0');
    exponent += down ? -value : value;
  }
  if (integral) {
    if (!negative) {
      out = static_cast<float>(mantissa);
    } else if (mantissa == 0 || mantissa > kTwoPow63) {
      out = static_cast<float>(-static_cast<double>(mantissa));
    } else {
      out = static_cast<float>(static_cast<std::int64_t>(~mantissa + 1));
    }
  } else {
    if (mantissa > kTwoPow53 || exponent < -22 || exponent > 22) return false;
    double value = static_cast<double>(mantissa);
    value = exponent < 0 ? value / kPow10[-exponent] : value * kPow10[exponent];
    if (mantissa != 0 && near_float_tie(value)) return false;
    out = static_cast<float>(negative ? -value : value);
  }
  pos_ = static_cast<std::size_t>(p - text_.data());
  return true;
}

template <bool kVector, bool kOnce>
__attribute__((always_inline)) inline void JsonReader::compact_f32s(Embedding& out, bool& first) {
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  for (bool more = true; more; more = !kOnce) {
    const std::size_t before = pos_;
    std::size_t at = pos_;
    if (!first) {
      if (at >= size || data[at] != ',') return;
      ++at;
    }
    if (at >= size || !(is_digit(data[at]) || data[at] == '-')) return;
#ifdef PVDB_SHORT_DECIMALS
    if constexpr (kVector) {
      const bool negative = data[at] == '-';
      const std::size_t digits_at = at + (negative ? 1 : 0);
      std::uint64_t mantissa = 0;
      int fraction = 0;
      const char* stop;
      float value;
      if (size - digits_at >= 16 &&
          (stop = short_decimal(data + digits_at, mantissa, fraction)) != nullptr &&
          short_value(mantissa, fraction, negative, value)) {
        out.push_back(value);
        pos_ = static_cast<std::size_t>(stop - data);
        first = false;
        continue;
      }
    }
#endif
    pos_ = at;
    float value;
    if (!fast_f32(value)) {
      pos_ = before;
      return;
    }
    out.push_back(value);
    first = false;
  }
}

#ifdef PVDB_SHORT_DECIMALS
// Each number of a run ends at the next separator, all of which one block's
// masks give at once, so a number is read without waiting for the end of the one
// before it. A number is taken only when short_decimal reads it exactly up to its
// separator, a comma or the list's closing bracket, and short_value takes it: the
// element loop would then read it the same way and stop at the same place. At
// anything else this stops with the cursor before that number.
__attribute__((target("ssse3"))) void JsonReader::compact_f32s_blocks(Embedding& out, bool& first) {
  constexpr std::size_t kBlock = 64;
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  for (;;) {
    const std::size_t start = first ? pos_ : pos_ + 1;
    // The block, and the 16 bytes short_decimal loads from a number starting in it.
    if (start > size || size - start < kBlock + 16) return;
    if (!first && data[pos_] != ',') return;
    std::uint64_t separators = 0;
    for (std::size_t k = 0; k < kBlock; k += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start + k));
      const __m128i found = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(',')),
                                         _mm_cmpeq_epi8(bytes, _mm_set1_epi8(']')));
      separators |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(found))} << k;
    }
    std::size_t at = start;
    for (; separators != 0; separators &= separators - 1) {
      const std::size_t end = start + static_cast<std::size_t>(std::countr_zero(separators));
      const bool negative = data[at] == '-';
      const char* digits = data + at + (negative ? 1 : 0);
      std::uint64_t mantissa = 0;
      int fraction = 0;
      float value;
      if (digits >= data + end || short_decimal(digits, mantissa, fraction) != data + end ||
          !short_value(mantissa, fraction, negative, value)) {
        return;
      }
      out.push_back(value);
      pos_ = end;
      first = false;
      if (data[end] == ']') return;
      at = end + 1;
    }
    if (at == start) return;
  }
}

__attribute__((target("ssse3"))) void JsonReader::compact_f32s_vector(Embedding& out, bool& first) {
  // The blocks take runs of short decimals; an element of another form is read
  // alone, and the blocks go on after it.
  for (;;) {
    compact_f32s_blocks(out, first);
    const std::size_t before = pos_;
    compact_f32s<true, true>(out, first);
    if (pos_ == before) return;
  }
}

#endif

void JsonReader::read_compact_f32s(Embedding& out, bool& first) {
#ifdef PVDB_SHORT_DECIMALS
  if (base::has_ssse3()) {
    compact_f32s_vector(out, first);
    return;
  }
#endif
  compact_f32s<false, false>(out, first);
}

bool JsonReader::skip_number() {
  if (at_end()) return fail_here(JsonSyntax::InvalidNumber, true);
  const char first = text_[pos_++];
  if (first == '0') {
    if (is_digit(peek())) return fail_peek(JsonSyntax::InvalidNumber);
  } else if (is_digit(first)) {
    while (is_digit(peek())) ++pos_;
  } else {
    return fail_here(JsonSyntax::InvalidNumber);
  }
  if (peek() == '.') {
    ++pos_;
    if (!is_digit(peek())) return fail_peek(JsonSyntax::InvalidNumber, at_end());
    while (is_digit(peek())) ++pos_;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (at_end()) return fail_here(JsonSyntax::InvalidNumber, true);
    if (!is_digit(text_[pos_++])) return fail_here(JsonSyntax::InvalidNumber);
    while (is_digit(peek())) ++pos_;
  }
  return true;
}

// ---- Typed scalars ----

bool JsonReader::read_string(std::string& out) {
  const int c = peek_token();
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '"') return fail_invalid_type(JsonExpected::String);
  bump();
  return parse_string(out);
}

bool JsonReader::read_f32(float& out) {
  const int c = peek_token();
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '-' && !is_digit(c)) return fail_invalid_type(JsonExpected::F32);
  if (fast_f32(out)) return true;
  JsonNumber number;
  if (c == '-') bump();
  if (!parse_number(c != '-', number)) return false;
  out = number.to_f32();
  return true;
}

bool JsonReader::read_usize(std::uint64_t& out) {
  const int c = peek_token();
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '-' && !is_digit(c)) return fail_invalid_type(JsonExpected::Usize);
  JsonNumber number;
  if (c == '-') bump();
  if (!parse_number(c != '-', number)) return false;
  switch (number.kind) {
    case JsonNumber::Kind::Unsigned:
      out = number.u;
      return true;
    case JsonNumber::Kind::Signed:
      fail_unplaced(VectorDbError::json_invalid_value(number.found(), JsonExpected::Usize));
      return place();
    case JsonNumber::Kind::Float:
      break;
  }
  fail_unplaced(VectorDbError::json_invalid_type(number.found(), JsonExpected::Usize));
  return place();
}

}  // namespace pvdb::core
