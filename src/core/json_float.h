#pragma once

#include <cstdint>

namespace pvdb::core {

// The shortest digits that read back as `value`, which must be finite and above
// zero: sets `digits` to them as an integer of `count` digits without trailing
// zeros and `exponent` to the decimal exponent of the first digit. Among several
// shortest digit strings it takes the one nearest the float, and the even one of
// two equally near.
void shortest_f32_digits(float value, std::uint32_t& digits, int& count, int& exponent);

}  // namespace pvdb::core
