#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/check.h"

namespace pvdb::index {

// One embedding as the index sees it. Points of one index may differ in length.
using Point = std::vector<float>;

// A position in the list of points an index was built from, in build order.
using PointIndex = std::uint32_t;
// Marks an empty neighbour slot; never names a point.
inline constexpr PointIndex kEmptySlot = 0xFFFFFFFF;

// sqrt of the sum of squares, added one at a time in index order from -0.0.
float norm(std::span<const float> v);

// The cosine distance from a dot product and the two norms: 2.0 when the norms'
// product is zero, else 1 - dot / (na * nb) clamped to [0, 2]; NaN stays NaN.
float finish_distance(float dot, float na, float nb);

// The cosine distance in [0, 2], or NaN. The dot product covers the common length,
// each norm its own vector. Bit-identical on every build and symmetric.
float distance(std::span<const float> a, std::span<const float> b);

// A vector together with its norm, so the norm is computed once per query.
struct Query {
  std::span<const float> values;
  float norm = 0.0f;

  static Query of(std::span<const float> values);
};

// The points of one index, each a row of floats with its norm computed once. A row is
// either borrowed from the caller, who keeps it alive and unchanged while the set lives,
// or lies in a buffer the set owns (shared by the sets reordered from it).
// Immutable after construction, so any number of threads may read it.
class PointSet {
 public:
  PointSet() = default;
  // Copies the points into one owned buffer.
  explicit PointSet(const std::vector<Point>& points);
  // Point i is data[offset_i, offset_i + lengths[i]), the points laid end to end.
  // The sum of lengths must equal data.size(). The set takes the data over.
  PointSet(std::vector<float> data, std::span<const std::uint64_t> lengths);
  // Point i is rows[i]; no float is copied.
  static PointSet borrowed(std::span<const std::span<const float>> rows);

  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  std::span<const float> operator[](std::size_t p) const {
    PVDB_CHECK(p < rows_.size());
    return {rows_[p].data, rows_[p].size};
  }
  Query query(std::size_t p) const {
    PVDB_CHECK(p < rows_.size());
    return Query{{rows_[p].data, rows_[p].size}, rows_[p].norm};
  }

  // out[k] = distance from q to point ids[k], for every k.
  void distances(const Query& q, std::span<const PointIndex> ids, float* out) const;
  float distance_to(const Query& q, PointIndex p) const;

  // For every k, lo[k] <= distance from q to point ids[k] <= hi[k], from a fast dot
  // product in any order, whose error is bounded. Far cheaper than the exact
  // distances and nearly always narrow enough to rank points. Where no bound is safe
  // (norms tiny, huge or not finite, very long points), both are the exact distance.
  void distance_bounds(const Query& q, std::span<const PointIndex> ids, float* lo, float* hi) const;
  // Whether point p, whose distance from q lies in [lo, hi], is nearer to q than
  // `than` in the float order of rankings; the exact distance settles what the
  // bounds cannot (and a NaN `than`).
  bool nearer(const Query& q, PointIndex p, float lo, float hi, float than) const;

  // Starts loading the rows of ids into the cache, so that their misses overlap
  // instead of stalling the kernels one by one.
  void prefetch(std::span<const PointIndex> ids) const;

  // The points in a new order: element j of the result is element order[j] here. The
  // result refers to the same rows; no float is copied.
  PointSet reordered(std::span<const PointIndex> order) const;

 private:
  // Where a point's row lies, its length and its norm: a distance reads all three
  // together, so a point costs one table miss, not two.
  struct Row {
    const float* data = nullptr;
    std::uint32_t size = 0;
    float norm = 0.0f;
  };
  void add_row(std::span<const float> row);
  void compute_norms();
  // Where each point's row lies and how long it is, for a batched kernel.
  void gather_rows(std::span<const PointIndex> ids, const float** rows, std::size_t* lens) const;

  std::vector<Row> rows_;
  // The floats of the rows when the set owns them; null when they are borrowed.
  std::shared_ptr<const std::vector<float>> owned_;
};

}  // namespace pvdb::index
