#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pvdb::base {

// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Whether `text` is well-formed UTF-8 except that it ends inside a multi-byte character
// whose bytes so far are valid: how text looks when it was cut off mid-character.
bool is_utf8_cut_short(std::string_view text);

// Length of `text` without the incomplete character at its end, if any.
std::string_view drop_incomplete_tail(std::string_view text);

// Strips characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

// The code point of the character at text[pos] of valid UTF-8, moving `pos` past it. A
// character cut off by the text's end is read from the bytes there are.
std::uint32_t next_code_point(std::string_view text, std::size_t& pos);

// Appends the UTF-8 bytes of the code point `code` (at most U+10FFFF) to `out`.
void append_utf8(std::string& out, std::uint32_t code);

}  // namespace pvdb::base
