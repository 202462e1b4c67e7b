#include "core/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

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

// Rewrites the scientific text of to_chars ("-d.ddde+XX") in our layout.
template <class Float>
void append_shortest(std::string& out, Float value) {
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  char text[64];
  char* q = text;
  if (*p == '-') {
    *q++ = '-';
    ++p;
  }
  const char* e = static_cast<const char*>(std::memchr(p, 'e', end - p));
  char digits[24];
  int count = 0;
  for (const char* d = p; d < e; ++d) {
    if (*d != '.') digits[count++] = *d;
  }
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  q = layout_decimal(q, digits, count, exponent);
  out.append(text, q - text);
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
  if (!std::isfinite(value)) {
    out.append("null");
  } else if (value == 0.0f) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
  } else {
    append_shortest(out, value);
  }
}

void write_json_f64(std::string& out, double value) {
  if (value == 0.0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
  } else {
    append_shortest(out, value);
  }
}

void write_json_u64(std::string& out, std::uint64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void write_entry(std::string& out, const VectorEntry& entry) {
  out.append("{\"id\":");
  write_json_string(out, entry.id);
  out.append(",\"embedding\":[");
  for (std::size_t i = 0; i < entry.embedding.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_json_f32(out, entry.embedding[i]);
  }
  out.append("],\"metadata\":");
  write_json_string(out, entry.metadata);
  out.append(",\"created_at\":");
  write_json_string(out, entry.created_at);
  out.push_back('}');
}

}  // namespace pvdb::core
