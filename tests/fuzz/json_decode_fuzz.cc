#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/snapshot.h"
#include "core/wal.h"

namespace {

using pvdb::core::VectorEntry;
using pvdb::core::WalRecord;

// Whatever decodes must encode to text that decodes to the same bytes again.
void check_snapshot(std::string_view text) {
  auto snapshot = pvdb::core::decode_snapshot(text);
  if (!snapshot.ok()) return;
  std::vector<const VectorEntry*> entries;
  for (const auto& entry : snapshot.value().entries) entries.push_back(&entry);
  std::string first;
  pvdb::core::encode_snapshot(first, snapshot.value().dim, entries);
  auto again = pvdb::core::decode_snapshot(first);
  if (!again.ok()) {
    // Only a non-finite element (written as null) may fail to read back.
    if (again.error().description() != "invalid type: null, expected f32") std::abort();
    return;
  }
  entries.clear();
  for (const auto& entry : again.value().entries) entries.push_back(&entry);
  std::string second;
  pvdb::core::encode_snapshot(second, again.value().dim, entries);
  if (first != second) std::abort();
}

std::string encode_record(const WalRecord& record) {
  std::string line;
  if (record.op == WalRecord::Op::Upsert) {
    pvdb::core::encode_wal_upsert(line, record.entry);
  } else {
    pvdb::core::encode_wal_delete(line, record.entry.id);
  }
  return line;
}

void check_wal_line(std::string_view text) {
  bool ended = false;
  auto record = pvdb::core::decode_wal_line(text, &ended);
  if (!record.ok()) return;
  if (ended) std::abort();
  const std::string first = encode_record(record.value());
  auto again = pvdb::core::decode_wal_line(std::string_view(first).substr(0, first.size() - 1));
  if (!again.ok()) {
    if (again.error().description() != "invalid type: null, expected f32") std::abort();
    return;
  }
  if (encode_record(again.value()) != first) std::abort();
  // Every proper prefix of a valid line is a line cut off early.
  const std::size_t cut = first.size() > 1 ? first.size() / 2 : 0;
  bool cut_ended = false;
  auto prefix = pvdb::core::decode_wal_line(std::string_view(first).substr(0, cut), &cut_ended);
  if (prefix.ok() || !cut_ended) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_snapshot(text);
  check_wal_line(text);
  return 0;
}
