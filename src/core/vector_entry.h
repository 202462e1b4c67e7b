#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/row_pool.h"

namespace pvdb::core {

// One stored record. A plain value: copying it copies all four fields deeply.
// The record itself enforces nothing; the store validates what it writes.
struct VectorEntry {
  std::string id;
  Embedding embedding;
  std::string metadata;
  std::string created_at;

  friend bool operator==(const VectorEntry&, const VectorEntry&) = default;
};

// One logged operation. A delete carries only `entry.id`; its other fields are empty.
struct WalRecord {
  enum class Op { Upsert, Delete };
  Op op = Op::Upsert;
  VectorEntry entry;
};

// The full image of a store as of its last compaction.
struct Snapshot {
  std::uint64_t dim = 0;  // 0 when the store has no dimension
  std::vector<VectorEntry> entries;
};

// The two file paths of one store, handed to the operating system unchanged.
struct StoreConfig {
  std::string snapshot_path;
  std::string wal_path;
};

}  // namespace pvdb::core
