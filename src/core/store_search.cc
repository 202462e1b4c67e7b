#include <algorithm>
#include <utility>

#include "core/vector_store.h"
#include "index/builder.h"
#include "index/check.h"

namespace pvdb::core {

void VectorStore::rebuild_index() {
  std::vector<std::string> ids;
  ids.reserve(entries_.size());
  std::size_t total = 0;
  for (const auto& [id, entry] : entries_) {
    ids.push_back(id);
    total += entry.embedding.size();
  }
  // std::string compares bytes as unsigned values: a proper prefix sorts first.
  std::sort(ids.begin(), ids.end());
  if (ids.empty()) {
    index_.reset();
    index_ids_.clear();
    dirty_ = false;
    return;
  }
  std::vector<float> flat;
  flat.reserve(total);
  std::vector<std::uint64_t> lengths;
  lengths.reserve(ids.size());
  std::vector<std::uint64_t> positions(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::vector<float>& embedding = entries_.find(ids[i])->second.embedding;
    flat.insert(flat.end(), embedding.begin(), embedding.end());
    lengths.push_back(embedding.size());
    positions[i] = i;
  }
  const index::Builder builder;  // a fresh seed for every build
  index::HnswMap built = index::HnswMap::build(index::PointSet(std::move(flat), lengths),
                                               std::move(positions), builder);
  index_ = std::move(built);
  index_ids_ = std::move(ids);
  dirty_ = false;
}

Result<std::vector<SearchHit>> VectorStore::search(std::span<const float> query,
                                                   std::uint64_t top_k) {
  if (query.empty()) return VectorDbError::empty_embedding();
  if (dim_ && *dim_ != query.size()) return VectorDbError::dimension_mismatch(*dim_, query.size());
  if (dirty_) rebuild_index();
  std::vector<SearchHit> hits;
  if (!index_) return hits;
  const auto results = index_->search(query, search_);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, results.size()));
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
