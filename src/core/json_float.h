#pragma once

#include <cstdint>

namespace pvdb::core {

// The shortest digits that read back as `value`, which must be finite and above
// zero, padded with zeros to nine digits (the first is never zero), and the
// decimal exponent of the first digit. Among several shortest digit strings it
// takes the one nearest the float, and the even one of two equally near.
struct F32Digits {
  std::uint32_t nine;
  int exponent;
};
F32Digits shortest_f32_digits(float value);

}  // namespace pvdb::core
