#include "index/point.h"

#include <algorithm>
#include <cmath>

#include "base/check.h"
#include "index/candidate.h"
#include "index/kernels.h"

namespace pvdb::index {
namespace {

// Longer points get exact distances: the bound below needs n * 2^-24 to stay small.
constexpr std::size_t kMaxBoundedLength = 65536;

// Bounds the distance that finish_distance gives for the exact in-order dot of n
// products, from `fast`, the same products summed by a fast kernel.
//
// A floating-point sum whose every term passes through at most k additions differs
// from the true sum by at most gamma(k) * sum |terms| (gamma(k) = k u / (1 - k u),
// u = 2^-24), plus 2^-150 per operation that lands among the subnormals. The exact
// dot rounds each product first (u more) and takes n - 1 additions; every fast
// kernel keeps its depth within n / 8 + 16 (kernels.h). Cauchy-Schwarz bounds
// sum |a_i b_i| by the true norms, and the computed norms are within a relative
// gamma(n) of those. Hence |exact - fast| <= (n + n / 8 + 18) u * na * nb * 1.06, the
// factor covering the gammas' denominators and the norms for n up to
// kMaxBoundedLength. The norms' lower limit makes the subnormal terms less than
// 2^-30 relative to the denominator, the upper one keeps every partial sum finite.
// The quotient by the denominator and 1 - quotient are rounded to float once each,
// and the bounds once more on their way to float: 2^-19 covers all three for
// quotients up to 2 in size. finish_distance clamps to [0, 2] last, and so do the
// bounds, which keeps them on either side of its result.
bool bound_distance(float fast, std::size_t n, float na, float nb, float* lo, float* hi) {
  if (!(na >= 1e-15f && nb >= 1e-15f) || n > kMaxBoundedLength) return false;
  const double scale = static_cast<double>(na) * static_cast<double>(nb);
  if (!(scale <= 1e36)) return false;
  const double denom = static_cast<double>(na * nb);
  const double n_d = static_cast<double>(n);
  const double width = (n_d * 1.125 + 18.0) * 0x1p-24 * 1.06 * (scale / denom) + 0x1p-19;
  const double r = 1.0 - static_cast<double>(fast) / denom;
  *lo = static_cast<float>(std::max(0.0, r - width));
  *hi = static_cast<float>(std::min(2.0, r + width));
  return true;
}

}  // namespace

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
    add_row({data->data() + start, p.size()});
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
    add_row({owned->data() + start, static_cast<std::size_t>(len)});
    start += static_cast<std::size_t>(len);
  }
  PVDB_CHECK(start == owned->size());
  owned_ = std::move(owned);
  compute_norms();
}

PointSet PointSet::borrowed(std::span<const std::span<const float>> rows) {
  PointSet result;
  result.rows_.reserve(rows.size());
  for (const std::span<const float> row : rows) result.add_row(row);
  result.compute_norms();
  return result;
}

void PointSet::add_row(std::span<const float> row) {
  PVDB_CHECK(row.size() <= UINT32_MAX);
  rows_.push_back({row.data(), static_cast<std::uint32_t>(row.size()), 0.0f});
}

void PointSet::compute_norms() {
  for (Row& row : rows_) row.norm = norm({row.data, row.size});
}

float PointSet::distance_to(const Query& q, PointIndex p) const {
  const std::span<const float> row = (*this)[p];
  const float dot = kernels::dot_scalar(q.values.data(), q.values.size(), row.data(), row.size());
  return finish_distance(dot, q.norm, rows_[p].norm);
}

void PointSet::gather_rows(std::span<const PointIndex> ids, const float** rows,
                           std::size_t* lens) const {
  for (std::size_t k = 0; k < ids.size(); ++k) {
    PVDB_CHECK(ids[k] < rows_.size());
    const Row& row = rows_[ids[k]];
    rows[k] = row.data;
    lens[k] = row.size;
  }
}

void PointSet::distances(const Query& q, std::span<const PointIndex> ids, float* out) const {
  const kernels::DotBatchFn kernel = kernels::dot_batch();
  const float* rows[kernels::kMaxBatch];
  std::size_t lens[kernels::kMaxBatch];
  for (std::size_t first = 0; first < ids.size(); first += kernels::kMaxBatch) {
    const std::size_t count = std::min(kernels::kMaxBatch, ids.size() - first);
    gather_rows(ids.subspan(first, count), rows, lens);
    kernel(q.values.data(), q.values.size(), rows, lens, count, out + first);
    for (std::size_t k = 0; k < count; ++k) {
      out[first + k] = finish_distance(out[first + k], q.norm, rows_[ids[first + k]].norm);
    }
  }
}

void PointSet::distance_bounds(const Query& q, std::span<const PointIndex> ids, float* lo,
                               float* hi) const {
  const kernels::DotBatchFn kernel = kernels::dot_fast_batch();
  const float* rows[kernels::kMaxBatch];
  std::size_t lens[kernels::kMaxBatch];
  float dots[kernels::kMaxBatch];
  for (std::size_t first = 0; first < ids.size(); first += kernels::kMaxBatch) {
    const std::size_t count = std::min(kernels::kMaxBatch, ids.size() - first);
    gather_rows(ids.subspan(first, count), rows, lens);
    kernel(q.values.data(), q.values.size(), rows, lens, count, dots);
    for (std::size_t k = 0; k < count; ++k) {
      const PointIndex p = ids[first + k];
      const std::size_t n = std::min(q.values.size(), lens[k]);
      if (!bound_distance(dots[k], n, q.norm, rows_[p].norm, lo + first + k, hi + first + k)) {
        lo[first + k] = hi[first + k] = distance_to(q, p);
      }
    }
  }
}

bool PointSet::nearer(const Query& q, PointIndex p, float lo, float hi, float than) const {
  if (hi < than) return true;
  if (lo >= than) return false;
  return distance_less(distance_to(q, p), than);
}

void PointSet::prefetch(std::span<const PointIndex> ids) const {
  for (const PointIndex p : ids) {
    PVDB_CHECK(p < rows_.size());
    const char* at = reinterpret_cast<const char*>(rows_[p].data);
    const std::size_t bytes = std::size_t{rows_[p].size} * sizeof(float);
    for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(at + b);
  }
}

PointSet PointSet::reordered(std::span<const PointIndex> order) const {
  PointSet result;
  result.rows_.reserve(order.size());
  for (const PointIndex source : order) {
    PVDB_CHECK(source < rows_.size());
    result.rows_.push_back(rows_[source]);
  }
  result.owned_ = owned_;
  return result;
}

}  // namespace pvdb::index
