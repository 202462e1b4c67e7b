// Records built from the fuzz bytes (any text, control characters included, and any
// float bit pattern) are written as a snapshot and as log lines and read back: the
// bytes written must be exactly the format's, and reading must give back every bit.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/utf8.h"
#include "core/wal.h"
#include "fuzz_checks.h"

namespace {

using pvdb::base::append_utf8;
using pvdb::core::VectorEntry;
using pvdb::core::WalRecord;

// Valid UTF-8, mostly ASCII (control characters, quotes and backslashes included).
std::string make_text(FuzzedDataProvider& in) {
  std::string text;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    const auto b = in.ConsumeIntegral<std::uint8_t>();
    if (b < 0x80) {
      append_utf8(text, b);
      continue;
    }
    std::uint32_t cp = in.ConsumeIntegral<std::uint32_t>() % 0x110000;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;  // no surrogates in UTF-8
    append_utf8(text, cp);
  }
  return text;
}

VectorEntry make_entry(FuzzedDataProvider& in, bool finite_only) {
  VectorEntry entry;
  entry.id = make_text(in);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
    if (finite_only && (bits & 0x7F800000u) == 0x7F800000u) bits &= ~0x40000000u;
    float x;
    std::memcpy(&x, &bits, sizeof x);
    entry.embedding.push_back(x);
  }
  entry.metadata = make_text(in);
  entry.created_at = make_text(in);
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool finite_only = in.ConsumeBool();
  pvdb::core::Snapshot snapshot;
  snapshot.dim = in.ConsumeIntegral<std::uint64_t>();
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < count; ++i) snapshot.entries.push_back(make_entry(in, finite_only));

  pvdb::fuzz::check_snapshot_round_trip(snapshot);
  for (const VectorEntry& entry : snapshot.entries) {
    pvdb::fuzz::check_record_round_trip({WalRecord::Op::Upsert, entry});
    pvdb::fuzz::check_record_round_trip({WalRecord::Op::Delete, VectorEntry{entry.id, {}, {}, {}}});
  }
  return 0;
}
