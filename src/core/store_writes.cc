#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "core/vector_store.h"

namespace pvdb::core {
namespace {

bool all_finite(std::span<const float> embedding) {
  for (float x : embedding) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

}  // namespace

Result<void> VectorStore::check_embedding(std::span<const float> embedding, bool fix_dim) {
  const std::uint64_t n = embedding.size();
  if (n == 0) return VectorDbError::empty_embedding();
  if (dim_ && *dim_ != n) return VectorDbError::dimension_mismatch(*dim_, n);
  if (!all_finite(embedding)) return VectorDbError::non_finite_embedding();
  if (!dim_ && fix_dim) dim_ = n;
  return {};
}

Result<void> VectorStore::wal_append(std::string_view lines) { return log_.append(lines); }

Result<void> VectorStore::upsert(VectorEntry entry) {
  if (auto valid = check_embedding(entry.embedding, true); !valid.ok()) return valid;
  std::string line;
  encode_wal_upsert(line, entry);
  if (auto appended = wal_append(line); !appended.ok()) return appended;
  records_changed();
  std::string id = entry.id;
  entries_.insert_or_assign(std::move(id), std::move(entry));
  ++wal_pending_;
  return {};
}

Result<void> VectorStore::upsert_batch(std::vector<VectorEntry> batch) {
  // The first entry fixes the dimension at once, and keeps it even when a later entry
  // of the same batch is refused.
  for (const VectorEntry& entry : batch) {
    if (auto valid = check_embedding(entry.embedding, true); !valid.ok()) return valid;
  }
  if (batch.empty()) {
    // Nothing is appended, so the log's tail is left as it is: only a missing log is
    // created, as by any write.
    if (auto created = log_.create_if_absent(); !created.ok()) return created;
    records_changed();
    return {};
  }
  if (auto written = log_.append_upserts(batch); !written.ok()) return written;
  records_changed();
  for (VectorEntry& entry : batch) {
    std::string id = entry.id;
    entries_.insert_or_assign(std::move(id), std::move(entry));
  }
  wal_pending_ += batch.size();
  return {};
}

Result<void> VectorStore::delete_entry(std::string_view id) {
  const auto it = entries_.find(id);
  if (it == entries_.end()) return {};
  // Log first: a failed append must leave the record in place, so memory and disk agree
  // and a retry works.
  std::string line;
  encode_wal_delete(line, id);
  if (auto appended = wal_append(line); !appended.ok()) return appended;
  records_changed();
  entries_.erase(it);
  ++wal_pending_;
  return {};
}

const VectorEntry* VectorStore::get(std::string_view id) const {
  const auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace pvdb::core
