#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/huge_pages.h"
#include "index/point.h"

namespace pvdb::index {

// Bytes of one sketched row: values are kept in whole 64-byte lines.
inline constexpr std::size_t kSketchLine = 64;

// A vector as sketches compare it: each value rounded to a multiple of the
// vector's step (its largest magnitude / L) and kept as a 16-bit integer, with L
// (at most 32767) as large as keeps its dot product with any row within 32 bits.
// The bound's slack is the sum of the query's and the row's rounding errors, so a
// query rounded this finely leaves nearly all of it to the row.
// Reusable: it keeps its buffer between queries.
struct SketchQuery {
  std::vector<std::int16_t> words;  // lines of kSketchLine values, zero past the vector
  bool usable = false;              // false when the vector has no safe bound
  std::size_t lines = 0;
  float step_ratio = 0.0f;   // step / computed norm
  float error_ratio = 0.0f;  // at least |vector - rounded vector| / computed norm

  void assign(const Query& q);
};

// A small copy of every point of a set, each value rounded to a multiple of the
// row's step (its largest magnitude / 127) and kept as one signed byte, rows on
// whole cache lines in point order. From it a lower bound on the exact distance costs
// a few integer operations on a quarter of the row's bytes, which lets a search
// drop most candidates without reading their rows. Immutable once made.
class Sketches {
 public:
  Sketches() = default;
  explicit Sketches(const PointSet& points);

  std::size_t size() const { return rows_.size(); }

  // For every k, lo[k] <= the distance PointSet::distances gives from the query
  // to point ids[k] of the set these were made from; -infinity where no bound is
  // safe (values not finite, norms tiny or huge, points longer than 4096).
  void lower_bounds(const SketchQuery& q, std::span<const PointIndex> ids, float* lo) const;

 private:
  // A row's rounding; step_ratio is 0 when the row has no safe bound.
  struct Row {
    float step_ratio = 0.0f;   // step / computed norm
    float error_ratio = 0.0f;  // at least |point - rounded row| / computed norm
  };
  struct alignas(kSketchLine) Line {
    std::int8_t bytes[kSketchLine];
  };

  // Every row takes the lines of the longest, zero past its own values, so its
  // place follows from its index: asking for a row's lines need not first wait
  // for a table read. Points of one store all have the same length.
  std::size_t stride_ = 0;
  std::vector<Row> rows_;
  std::vector<Line, base::HugePageAllocator<Line>> lines_;
};

}  // namespace pvdb::index
