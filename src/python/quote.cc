#include "python/quote.h"

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "base/utf8.h"
#include "python/unicode_tables.h"

namespace pvdb::py {
namespace {

bool is_escaped(std::uint32_t code) {
  auto it = std::upper_bound(
      kEscapedRanges.begin(), kEscapedRanges.end(), code,
      [](std::uint32_t value, const CodePointRange& range) { return value < range.first; });
  return it != kEscapedRanges.begin() && code <= std::prev(it)->last;
}

// The short escape of `code`, or nullptr when it has none.
const char* simple_escape(std::uint32_t code) {
  switch (code) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\0':
      return "\\0";
    default:
      return nullptr;
  }
}

void append_escape(std::string& out, std::uint32_t code) {
  char digits[8];
  auto end = std::to_chars(digits, digits + sizeof(digits), code, 16).ptr;
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

}  // namespace

std::string quote_id(std::string_view id) {
  std::string out = "\"";
  out.reserve(id.size() + 2);
  for (std::size_t pos = 0; pos < id.size();) {
    std::size_t start = pos;
    std::uint32_t code = base::next_code_point(id, pos);
    if (const char* escape = simple_escape(code)) {
      out += escape;
    } else if (is_escaped(code)) {
      append_escape(out, code);
    } else {
      out.append(id.substr(start, pos - start));
    }
  }
  out += '"';
  return out;
}

}  // namespace pvdb::py
