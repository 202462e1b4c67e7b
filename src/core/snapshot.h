#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// The full image of a store as of its last compaction.
struct Snapshot {
  std::uint64_t dim = 0;  // 0 when the store has no dimension
  std::vector<VectorEntry> entries;
};

// Appends {"dim":N,"entries":[E,...]} with the entries in the given order, no final line feed.
void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries);

// Decodes one whole snapshot document. The caller has checked that `text` is valid
// UTF-8; any other bytes still give an error, never undefined behaviour.
Result<Snapshot> decode_snapshot(std::string_view text);

}  // namespace pvdb::core
