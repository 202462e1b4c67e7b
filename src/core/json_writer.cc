#include "core/json_writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/json_float.h"

namespace pvdb::core {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// For each byte: 0 when it is copied as is, else the letter after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

// Lays out `count` significant digits with decimal exponent `exponent` (the value
// is d1.d2...dn x 10^exponent): fixed notation for exponents -6..12, else d.ddde+X.
// Returns the end of the written text; `out` needs room for 32 + count bytes.
char* layout_decimal(char* out, const char* digits, int count, int exponent) {
  if (exponent < -6 || exponent > 12) {
    *out++ = digits[0];
    if (count > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, count - 1);
      out += count - 1;
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    return std::to_chars(out, out + 8, exponent < 0 ? -exponent : exponent).ptr;
  }
  if (exponent >= count - 1) {
    std::memcpy(out, digits, count);
    out += count;
    const int zeros = exponent - count + 1;
    std::memset(out, '0', zeros);
    out += zeros;
    *out++ = '.';
    *out++ = '0';
    return out;
  }
  if (exponent >= 0) {
    std::memcpy(out, digits, exponent + 1);
    out += exponent + 1;
    *out++ = '.';
    std::memcpy(out, digits + exponent + 1, count - exponent - 1);
    return out + (count - exponent - 1);
  }
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', -exponent - 1);
  out += -exponent - 1;
  std::memcpy(out, digits, count);
  return out + count;
}

// The eight decimal digits of `value` (below 10^8) as ASCII bytes, the first digit
// in the lowest byte: halves, quarters and single digits are split in parallel
// lanes of one word by multiplications with exact reciprocals.
std::uint64_t eight_digits(std::uint32_t value) {
  std::uint64_t v = (value / 10000) | (std::uint64_t{value % 10000} << 32);
  // y / 100 == (y * 5243) >> 19 for y < 10^4; lanes of 32 bits.
  const std::uint64_t hundreds = ((v * 5243) >> 19) & 0x0000007F0000007Full;
  v = hundreds | ((v - hundreds * 100) << 16);
  // z / 10 == (z * 103) >> 10 for z < 100; lanes of 16 bits.
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000Full;
  v = tens | ((v - tens * 10) << 8);
  return v + 0x3030303030303030ull;
}

// layout_decimal for the fixed notation with an exponent from -3 to 7, from the
// digits padded by zeros to nine, kept in registers: the padding's zeros are
// counted rather than stripped, as their count follows no pattern a branch
// predictor could learn. `out` needs room for 24 bytes, of which those past the
// returned end are scratch.
char* layout_fixed(char* out, std::uint32_t nine, int exponent) {
  const char first = static_cast<char>('0' + nine / 100000000);
  const std::uint64_t rest = eight_digits(nine % 100000000);
  // The last digit lies in the highest byte: zero bytes there are trailing zeros.
  const int count = 9 - std::countl_zero(rest ^ 0x3030303030303030ull) / 8;
  if (exponent < 0) {
    std::memcpy(out, "0.000", 5);
    out += 1 - exponent;
    out[0] = first;
    std::memcpy(out + 1, &rest, 8);
    return out + count;
  }
  out[0] = first;
  std::memcpy(out + 1, &rest, 8);
  if (exponent < count - 1) {
    // The digits after the point are those of `rest` from its byte `exponent` on.
    out[exponent + 1] = '.';
    const std::uint64_t tail = rest >> (8 * exponent);
    std::memcpy(out + exponent + 2, &tail, 8);
    return out + count + 1;
  }
  // The padding supplies the zeros before the point.
  out += exponent + 1;
  std::memcpy(out, ".0", 2);
  return out + 2;
}

// Writes `value` (finite, not zero) in our layout, rewriting the shortest
// scientific text of to_chars ("-d.ddde+XX"). Needs 32 bytes at `out`.
template <class Float>
char* write_shortest(char* out, Float value) {
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    *out++ = '-';
    ++p;
  }
  char digits[24];
  int count = 0;
  digits[count++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) digits[count++] = *p;
  }
  const bool negative = p[1] == '-';
  int exponent = 0;
  for (p += 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  return layout_decimal(out, digits, count, negative ? -exponent : exponent);
}

// The longest text of one float, nine digits at the smallest fixed exponent as in
// "-0.00000123456789", plus a comma.
constexpr std::size_t kMaxF32Text = 18;

char* write_f32(char* out, float value) {
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  if (value == 0.0f) {
    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  const F32Digits digits = shortest_f32_digits(std::fabs(value));
  // The sign is written always and kept when negative: signs in a list follow no
  // pattern a branch predictor could learn.
  *out = '-';
  out += value < 0 ? 1 : 0;
  if (digits.exponent >= -3 && digits.exponent <= 7) {
    return layout_fixed(out, digits.nine, digits.exponent);
  }
  char text[10];
  std::to_chars(text, text + sizeof text, digits.nine);
  int count = 9;
  while (text[count - 1] == '0') --count;
  return layout_decimal(out, text, count, digits.exponent);
}

}  // namespace

void write_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char escape = kEscape[byte];
    if (escape == 0) continue;
    out.append(text.data() + start, i - start);
    start = i + 1;
    if (escape == 'u') {
      const char code[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 15]};
      out.append(code, 6);
    } else {
      const char code[2] = {'\\', escape};
      out.append(code, 2);
    }
  }
  out.append(text.data() + start, text.size() - start);
  out.push_back('"');
}

void write_json_f32(std::string& out, float value) {
  char text[kMaxF32Text + 16];
  out.append(text, write_f32(text, value));
}

void write_json_f32_general(std::string& out, float value) {
  char text[kMaxF32Text + 16];
  char* end = text;
  if (!std::isfinite(value) || value == 0.0f) {
    end = write_f32(text, value);
  } else {
    end = write_shortest(text, value);
  }
  out.append(text, end);
}

void write_json_f64(std::string& out, double value) {
  if (value == 0.0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  char text[64];
  out.append(text, write_shortest(text, value));
}

void write_json_u64(std::string& out, std::uint64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void write_json_f32_list(std::string& out, std::span<const float> values) {
  out.push_back('[');
  // Size the buffer once for the longest texts and write the floats in place.
  const std::size_t start = out.size();
  out.resize(start + values.size() * kMaxF32Text + 32);
  char* const begin = out.data() + start;
  char* p = begin;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) *p++ = ',';
    p = write_f32(p, values[i]);
  }
  *p++ = ']';
  out.resize(start + static_cast<std::size_t>(p - begin));
}

}  // namespace pvdb::core
