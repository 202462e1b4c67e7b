// Arbitrary bytes as a snapshot file: decoding never crashes, and whatever decodes
// survives a write and a read bit for bit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/snapshot.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto snapshot = pvdb::core::decode_snapshot(text);
  if (!snapshot.ok()) {
    // Failures are Json errors with a position inside the text.
    const auto& error = snapshot.error();
    const auto lines = 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    if (error.kind() != pvdb::core::ErrorKind::Json || error.line() < 1 || error.line() > lines ||
        error.column() > size + 1) {
      pvdb::fuzz::fail("decode error is not Json or has no position", error.message());
    }
    return 0;
  }
  pvdb::fuzz::check_snapshot_round_trip(snapshot.value());
  return 0;
}
