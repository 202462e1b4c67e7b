#pragma once

#include <cstddef>

namespace pvdb::base {

// Fills `out` with `size` bytes from the system's random source: getrandom where
// Linux has it, /dev/urandom elsewhere. Ends the process when neither gives bytes,
// since a caller asking for a seed has no use for anything less. Thread-safe.
void read_entropy(unsigned char* out, std::size_t size);

}  // namespace pvdb::base
