#include <algorithm>
#include <limits>
#include <span>
#include <utility>

#include "base/check.h"
#include "core/vector_store.h"
#include "index/builder.h"

namespace pvdb::core {

void VectorStore::rebuild_index() {
  // The old graph goes first, so that it never lives beside the new one.
  drop_index();
  std::vector<const Entries::value_type*> sorted;
  sorted.reserve(entries_.size());
  for (const auto& item : entries_) sorted.push_back(&item);
  // std::string compares bytes as unsigned values: a proper prefix sorts first.
  std::sort(sorted.begin(), sorted.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  if (sorted.empty()) {
    dirty_ = false;
    return;
  }
  // The index borrows each record's own embedding; see `drop_index`.
  std::vector<std::span<const float>> rows;
  rows.reserve(sorted.size());
  std::vector<std::uint64_t> positions(sorted.size());
  std::vector<const VectorEntry*> records;
  records.reserve(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    records.push_back(&sorted[i]->second);
    rows.emplace_back(records.back()->embedding);
    positions[i] = i;
  }
  const index::Builder builder;  // a fresh seed for every build
  index_ = index::HnswMap::build(index::PointSet::borrowed(rows), std::move(positions), builder);
  index_entries_ = std::move(records);
  dirty_ = false;
}

void VectorStore::drop_index() {
  index_.reset();
  index_entries_ = std::vector<const VectorEntry*>();
}

void VectorStore::records_changed() {
  drop_index();
  dirty_ = true;
}

Result<std::vector<SearchHit>> VectorStore::search(std::span<const float> query,
                                                   std::uint64_t top_k) {
  if (query.empty()) return VectorDbError::empty_embedding();
  if (dim_ && *dim_ != query.size()) return VectorDbError::dimension_mismatch(*dim_, query.size());
  if (dirty_) rebuild_index();
  std::vector<SearchHit> hits;
  if (!index_) return hits;
  const std::size_t limit = static_cast<std::size_t>(
      std::min<std::uint64_t>(top_k, std::numeric_limits<std::size_t>::max()));
  const auto results = index_->search(query, search_, limit);
  hits.reserve(results.size());
  for (std::size_t k = 0; k < results.size(); ++k) {
    const index::SearchResult item = results[k];
    PVDB_CHECK(item.value < index_entries_.size());
    hits.push_back({index_entries_[item.value], item.distance});
  }
  // The caller copies every hit's record next. Records lie scattered over the
  // heap, mostly out of cache, so their loads are started together here, then
  // those of the strings they point to: the misses overlap instead of queueing.
  // The rows were just read by the search.
  const std::span<const SearchHit> ahead(hits.data(), std::min<std::size_t>(hits.size(), 16));
  for (const SearchHit& hit : ahead) {
    const char* record = reinterpret_cast<const char*>(hit.entry);
    __builtin_prefetch(record);
    __builtin_prefetch(record + sizeof(VectorEntry) - 1);
  }
  for (const SearchHit& hit : ahead) {
    __builtin_prefetch(hit.entry->id.data());
    __builtin_prefetch(hit.entry->metadata.data());
    __builtin_prefetch(hit.entry->created_at.data());
  }
  return hits;
}

}  // namespace pvdb::core
