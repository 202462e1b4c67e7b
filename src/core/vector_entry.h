#pragma once

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

// The two file paths of one store, handed to the operating system unchanged.
struct StoreConfig {
  std::string snapshot_path;
  std::string wal_path;
};

}  // namespace pvdb::core
