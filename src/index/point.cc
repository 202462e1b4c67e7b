#include "index/point.h"

#include <algorithm>
#include <cmath>

#include "index/check.h"
#include "index/kernels.h"

namespace pvdb::index {

float norm(std::span<const float> v) {
  return std::sqrt(kernels::sum_squares_scalar(v.data(), v.size()));
}

float finish_distance(float dot, float na, float nb) {
  const float denom = na * nb;
  if (denom == 0.0f) return 2.0f;
  float r = 1.0f - dot / denom;
  if (r < 0.0f) r = 0.0f;
  if (r > 2.0f) r = 2.0f;
  return r;
}

float distance(std::span<const float> a, std::span<const float> b) {
  const float dot = kernels::dot_scalar(a.data(), a.size(), b.data(), b.size());
  return finish_distance(dot, norm(a), norm(b));
}

Query Query::of(std::span<const float> values) { return Query{values, index::norm(values)}; }

PointSet::PointSet(const std::vector<Point>& points) {
  std::size_t total = 0;
  for (const Point& p : points) total += p.size();
  auto data = std::make_shared<std::vector<float>>();
  data->reserve(total);
  for (const Point& p : points) data->insert(data->end(), p.begin(), p.end());
  rows_.reserve(points.size());
  std::size_t start = 0;
  for (const Point& p : points) {
    rows_.emplace_back(data->data() + start, p.size());
    start += p.size();
  }
  owned_ = std::move(data);
  compute_norms();
}

PointSet::PointSet(std::vector<float> data, std::span<const std::uint64_t> lengths) {
  // The floats stay where they are: the shared buffer takes over the vector's storage.
  auto owned = std::make_shared<const std::vector<float>>(std::move(data));
  rows_.reserve(lengths.size());
  std::size_t start = 0;
  for (const std::uint64_t len : lengths) {
    PVDB_CHECK(len <= owned->size() - start);
    rows_.emplace_back(owned->data() + start, static_cast<std::size_t>(len));
    start += static_cast<std::size_t>(len);
  }
  PVDB_CHECK(start == owned->size());
  owned_ = std::move(owned);
  compute_norms();
}

PointSet PointSet::borrowed(std::span<const std::span<const float>> rows) {
  PointSet result;
  result.rows_.assign(rows.begin(), rows.end());
  result.compute_norms();
  return result;
}

void PointSet::compute_norms() {
  norms_.resize(rows_.size());
  for (std::size_t p = 0; p < norms_.size(); ++p) norms_[p] = norm(rows_[p]);
}

float PointSet::distance_to(const Query& q, PointIndex p) const {
  const std::span<const float> row = (*this)[p];
  const float dot = kernels::dot_scalar(q.values.data(), q.values.size(), row.data(), row.size());
  return finish_distance(dot, q.norm, norms_[p]);
}

void PointSet::distances(const Query& q, std::span<const PointIndex> ids, float* out) const {
  const kernels::DotBatchFn kernel = kernels::dot_batch();
  const float* rows[kernels::kMaxBatch];
  std::size_t lens[kernels::kMaxBatch];
  for (std::size_t first = 0; first < ids.size(); first += kernels::kMaxBatch) {
    const std::size_t count = std::min(kernels::kMaxBatch, ids.size() - first);
    for (std::size_t k = 0; k < count; ++k) {
      const std::span<const float> row = (*this)[ids[first + k]];
      rows[k] = row.data();
      lens[k] = row.size();
    }
    kernel(q.values.data(), q.values.size(), rows, lens, count, out + first);
    for (std::size_t k = 0; k < count; ++k) {
      out[first + k] = finish_distance(out[first + k], q.norm, norms_[ids[first + k]]);
    }
  }
}

PointSet PointSet::reordered(std::span<const PointIndex> order) const {
  PointSet result;
  result.rows_.reserve(order.size());
  result.norms_.reserve(order.size());
  for (const PointIndex source : order) {
    result.rows_.push_back((*this)[source]);
    result.norms_.push_back(norms_[source]);
  }
  result.owned_ = owned_;
  return result;
}

}  // namespace pvdb::index
