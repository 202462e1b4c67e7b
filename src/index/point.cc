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
  data_.reserve(total);
  offsets_.reserve(points.size() + 1);
  for (const Point& p : points) {
    data_.insert(data_.end(), p.begin(), p.end());
    offsets_.push_back(data_.size());
  }
  compute_norms();
}

PointSet::PointSet(std::vector<float> data, std::span<const std::uint64_t> lengths)
    : data_(std::move(data)) {
  offsets_.reserve(lengths.size() + 1);
  std::size_t end = 0;
  for (const std::uint64_t len : lengths) {
    end += len;
    offsets_.push_back(end);
  }
  PVDB_CHECK(end == data_.size());
  compute_norms();
}

void PointSet::compute_norms() {
  norms_.resize(offsets_.size() - 1);
  for (std::size_t p = 0; p < norms_.size(); ++p) norms_[p] = norm((*this)[p]);
}

std::span<const float> PointSet::operator[](std::size_t p) const {
  PVDB_CHECK(p + 1 < offsets_.size());
  return {data_.data() + offsets_[p], offsets_[p + 1] - offsets_[p]};
}

Query PointSet::query(std::size_t p) const { return Query{(*this)[p], norms_[p]}; }

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
  result.data_.reserve(data_.size());
  result.offsets_.reserve(order.size() + 1);
  result.norms_.reserve(order.size());
  for (const PointIndex source : order) {
    const std::span<const float> row = (*this)[source];
    result.data_.insert(result.data_.end(), row.begin(), row.end());
    result.offsets_.push_back(result.data_.size());
    result.norms_.push_back(norms_[source]);
  }
  return result;
}

}  // namespace pvdb::index
