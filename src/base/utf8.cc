#include "base/utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pvdb::base {
namespace {

// Length of the well-formed character starting at text[i], 0 if it is malformed, or
// -(bytes available) when the text ends while the character is still well-formed.
int char_length(std::string_view text, std::size_t i) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b0 = s[i];
  if (b0 < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (int k = 1; k < need; ++k) {
    if (i + k >= n) return -k;
    const unsigned char b = s[i + k];
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) return 0;
  }
  return need;
}

// Index of the first byte that is not plain ASCII, eight bytes at a time.
std::size_t skip_ascii(std::string_view text, std::size_t i) {
  while (i + 8 <= text.size()) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

// Where validation stopped: the text's size when all of it is well-formed.
struct Scan {
  std::size_t stop;
  bool cut_short;  // stopped at a character that the text's end cuts off
};

Scan scan(std::string_view text) {
  std::size_t i = 0;
  while (true) {
    i = skip_ascii(text, i);
    if (i >= text.size()) return {i, false};
    const int len = char_length(text, i);
    if (len <= 0) return {i, len < 0};
    i += static_cast<std::size_t>(len);
  }
}

// Length of a White_Space character starting at text[i], else 0.
std::size_t space_at(std::string_view t, std::size_t i) {
  const auto b = [&](std::size_t k) -> unsigned char {
    return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0;
  };
  const unsigned char c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
  if (c == 0xE2 && b(1) == 0x80 &&
      ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
    return 3;
  if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;
  if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
  return 0;
}

// Start of the character that ends at t[end - 1] (t is valid UTF-8).
std::size_t char_start_before(std::string_view t, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(t[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view text) { return scan(text).stop == text.size(); }

bool is_utf8_cut_short(std::string_view text) {
  const Scan s = scan(text);
  return s.stop < text.size() && s.cut_short;
}

std::string_view drop_incomplete_tail(std::string_view text) {
  const Scan s = scan(text);
  return s.cut_short ? text.substr(0, s.stop) : text;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t len = space_at(text, begin);
    if (len == 0) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = char_start_before(text, end);
    if (start < begin || space_at(text, start) != end - start) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::uint32_t next_code_point(std::string_view text, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  length = std::min(length, text.size() - pos);
  std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (byte(pos + i) & 0x3F);
  pos += length;
  return code;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace pvdb::base
