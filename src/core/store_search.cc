#include <algorithm>
#include <limits>
#include <utility>

#include "core/vector_store.h"
#include "index/builder.h"
#include "index/check.h"

namespace pvdb::core {

void VectorStore::rebuild_index() {
  // The old graph goes first, so that it never lives beside the new one.
  drop_index();
  std::vector<std::string> ids;
  ids.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) ids.push_back(id);
  // std::string compares bytes as unsigned values: a proper prefix sorts first.
  std::sort(ids.begin(), ids.end());
  if (ids.empty()) {
    dirty_ = false;
    return;
  }
  // The index borrows each record's own embedding; see `drop_index`.
  std::vector<std::span<const float>> rows;
  rows.reserve(ids.size());
  std::vector<std::uint64_t> positions(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    rows.emplace_back(entries_.find(ids[i])->second.embedding);
    positions[i] = i;
  }
  const index::Builder builder;  // a fresh seed for every build
  index_ = index::HnswMap::build(index::PointSet::borrowed(rows), std::move(positions), builder);
  index_ids_ = std::move(ids);
  dirty_ = false;
}

void VectorStore::drop_index() {
  index_.reset();
  index_ids_ = std::vector<std::string>();
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
  const std::size_t keep = results.size();
  hits.reserve(keep);
  // The cut comes before missing records are skipped, so a result may run short.
  for (std::size_t k = 0; k < keep; ++k) {
    const index::SearchResult item = results[k];
    PVDB_CHECK(item.value < index_ids_.size());
    const auto it = entries_.find(index_ids_[item.value]);
    if (it != entries_.end()) hits.push_back({&it->second, item.distance});
  }
  return hits;
}

}  // namespace pvdb::core
