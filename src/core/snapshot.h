#pragma once

#include <cstddef>
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

// Appends {"dim":N,"entries":[E,...]} with the entries in the given order, no final
// line feed. A large image is encoded in several parts at once on the worker pool.
void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries);
// The same in at most `pieces` parts, whatever the size; the bytes never depend on it.
void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries, std::size_t pieces);

// Decodes one whole snapshot document. The caller has checked that `text` is valid
// UTF-8; any other bytes still give an error, never undefined behaviour. A large
// text is decoded in several parts at once on the worker pool.
Result<Snapshot> decode_snapshot(std::string_view text);
// The same in at most `pieces` parts, whatever the size. The records, and for a bad
// text the error with its position, are those of decoding in one piece.
Result<Snapshot> decode_snapshot(std::string_view text, std::size_t pieces);

}  // namespace pvdb::core
