#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// Appends {"dim":N,"entries":[E,...]} with the entries in the given order, no final
// line feed. A large image is encoded in several parts at once on the worker pool.
void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries);
// The same in at most `pieces` parts, whatever the size; the bytes never depend on it.
void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries, std::size_t pieces);

// Takes the next bytes of a snapshot being written.
using SnapshotSink = std::function<Result<void>(std::string_view)>;

// The bytes of encode_snapshot, handed to `sink` in order in pieces of about
// `piece_bytes` or more. The pieces are encoded on the worker pool in rounds, and
// the sink takes one round's pieces while the next round is encoded, so the whole
// text never lies in memory at once. The first failure of the sink ends the call and
// is returned; the sink is called from any one thread at a time.
Result<void> write_snapshot(std::uint64_t dim, std::span<const VectorEntry* const> entries,
                            const SnapshotSink& sink, std::size_t piece_bytes = 1 << 20);

// Decodes one whole snapshot document. The caller has checked that `text` is valid
// UTF-8; any other bytes still give an error, never undefined behaviour. A large
// text is decoded in several parts at once on the worker pool.
Result<Snapshot> decode_snapshot(std::string_view text);
// The same in at most `pieces` parts, whatever the size. The records, and for a bad
// text the error with its position, are those of decoding in one piece.
Result<Snapshot> decode_snapshot(std::string_view text, std::size_t pieces);

// How decode_snapshot takes in a text whose bytes arrive in order.
struct SnapshotWindows {
  std::size_t window = std::size_t{32} << 20;  // bytes brought in before each round
  std::size_t piece = std::size_t{4} << 20;    // about how far apart the cuts lie
  // Brings in the text's bytes from `from` to `to`; false abandons the decode. None
  // when the text is all there.
  std::function<bool(std::size_t from, std::size_t to)> fill;
  // The bytes from `from` to `to` are never read again. May be none.
  std::function<void(std::size_t from, std::size_t to)> release;
};

// Decodes a snapshot window by window: each window is checked to be UTF-8, and the
// pieces that lie in the bytes in so far are decoded at once on the worker pool,
// whose text is then released where the final run will step over it. Records and
// errors are those of checking the whole text and then decoding it; invalid UTF-8
// anywhere wins. Nothing when a fill failed.
std::optional<Result<Snapshot>> decode_snapshot(std::string_view text,
                                                const SnapshotWindows& windows);

}  // namespace pvdb::core
