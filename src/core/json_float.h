#pragma once

#include <cstdint>

namespace pvdb::core {

// The shortest round-trip digits of a positive float from 0.001 up to 10^8 (the
// range of nearly every embedding element), by exact 64-bit integer arithmetic:
// sets `digits` to them as an integer of `count` digits without trailing zeros,
// `exponent` to the decimal exponent of the first digit, and returns true. Among
// several shortest digit strings it takes the one nearest the float, and the even
// one of two equally near. Returns false, setting nothing, for any other value.
bool shortest_f32_digits(float value, std::uint32_t& digits, int& count, int& exponent);

}  // namespace pvdb::core
