#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pvdb::core {

// Appenders for the compact JSON forms of the store files. They never fail and
// never emit whitespace; the caller owns `out` and may reuse it across calls.

// Escapes quote, backslash and bytes below 0x20; every other byte is copied as is.
void write_json_string(std::string& out, std::string_view text);
// Shortest round-trip digits; NaN and infinities as null; "1.0", "1e+13", "1e-7".
void write_json_f32(std::string& out, float value);
// The same text with the digits found by std::to_chars, against which the writer's
// own digit search is checked.
void write_json_f32_general(std::string& out, float value);
// The same layout for a 64-bit float's shortest digits; used to name a float in
// error messages. The value must be finite.
void write_json_f64(std::string& out, double value);
void write_json_u64(std::string& out, std::uint64_t value);
// [F,...]
void write_json_f32_list(std::string& out, std::span<const float> values);

}  // namespace pvdb::core
