#pragma once

#include <string>
#include <string_view>

namespace pvdb::py {

// The quoted form of a record id as repr() shows it: between double quotes,
// with backslash, double quote, tab, carriage return, line feed and NUL escaped
// C-style and every other non-printable or Grapheme_Extend code point written as
// \u{hex}. `id` must be valid UTF-8 (it always is: it came from a Python str).
std::string quote_id(std::string_view id);

}  // namespace pvdb::py
