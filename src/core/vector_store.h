#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/posix_file.h"
#include "core/log.h"
#include "core/result.h"
#include "core/vector_entry.h"
#include "core/wal.h"
#include "index/hnsw_map.h"
#include "index/search.h"

namespace pvdb::core {

// Heterogeneous lookup, so that a borrowed id never has to be copied into a string.
struct IdHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
};

// One search result: a live record and its distance from the query. The record
// pointer is valid until the next write.
struct SearchHit {
  const VectorEntry* entry;
  float distance;
};

// The live records of one store, its two files and its search index.
// Not thread-safe: the caller gives each call exclusive use (reads may share).
class VectorStore {
 public:
  using Entries = std::unordered_map<std::string, VectorEntry, IdHash, std::equal_to<>>;

  // An empty store; touches no file.
  static VectorStore create(StoreConfig config);
  // Loads the snapshot and replays the log. Fails without a store, changing no file.
  static Result<VectorStore> open(StoreConfig config);

  VectorStore(VectorStore&&) = default;
  VectorStore& operator=(VectorStore&&) = default;

  // Writes log first, then memory: a failed write changes no record and leaves the log
  // exactly as it was. Only `dim` may be fixed by a write that then fails.
  Result<void> upsert(VectorEntry entry);
  Result<void> upsert_batch(std::vector<VectorEntry> entries);
  // Deleting an absent id is no error and touches no file.
  Result<void> delete_entry(std::string_view id);
  // The live record, or nullptr. Valid until the next write.
  const VectorEntry* get(std::string_view id) const;

  // Appends whole lines to the log; on any failure the log is cut back to its length
  // before the call.
  Result<void> wal_append(std::string_view lines);

  // The records nearest to `query`, nearest first, at most min(top_k, 100). Rebuilds
  // the index first when the records changed since it was built.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t top_k);

  // Folds the log into a new snapshot, empties the log and rebuilds the index. A failure
  // leaves the old snapshot byte for byte, keeps `wal_pending`, and changes no record.
  // Refused, before either file is touched, when the files hold changes this store has
  // not read: another store's appends or compaction would otherwise be erased.
  Result<void> compact();
  // Builds the search index anew over the live records.
  void rebuild_index();

  const StoreConfig& config() const { return config_; }
  const Entries& entries() const { return entries_; }
  std::size_t len() const { return entries_.size(); }
  std::optional<std::uint64_t> dim() const { return dim_; }
  std::uint64_t wal_pending() const { return wal_pending_; }
  bool dirty() const { return dirty_; }
  bool has_index() const { return index_.has_value(); }

 private:
  explicit VectorStore(StoreConfig config) : config_(std::move(config)), log_(config_.wal_path) {}

  Result<void> load_snapshot();
  // Whether both files are still exactly as this store last read or wrote them; `log`
  // is the log as compaction found it.
  Result<bool> files_unchanged(const base::FileStamp& log) const;
  Result<void> replay_wal();
  Result<void> apply(WalRecord record);
  // Every change to `entries_` calls `records_changed` before it touches a record.
  void records_changed();
  void drop_index();
  // Validates one embedding against `dim_` (fixing it when unset and `fix` is true).
  Result<void> check_embedding(std::span<const float> embedding, bool fix_dim);

  StoreConfig config_;
  Entries entries_;
  std::optional<std::uint64_t> dim_;
  std::uint64_t wal_pending_ = 0;
  bool dirty_ = false;
  // The snapshot as this store last read or wrote it. Unset for a store made by
  // `create`, which read nothing and so replaces whatever it finds.
  std::optional<base::FileStamp> snapshot_seen_;
  Log log_;
  // Built lazily over the live records; point i carries the value i, the position of
  // its record in `index_entries_` (ascending by id). The index borrows the records'
  // embeddings instead of copying them, so it is dropped before any record is added,
  // replaced or erased: it never outlives a row it points into, even unread, and
  // every record it names is still where `index_entries_` says.
  std::optional<index::HnswMap> index_;
  std::vector<const VectorEntry*> index_entries_;
  // Reused by every query: its marks and lists keep their capacity, and its reset and
  // generations make each query independent of the ones before.
  index::Beam search_;
};

}  // namespace pvdb::core
