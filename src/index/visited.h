#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/check.h"
#include "index/point.h"

namespace pvdb::index {

// The points one search has seen. A point is visited when its mark equals the
// current generation, so clearing costs nothing per point except on every 249th
// clear, which rewrites all marks.
class Visited {
 public:
  static constexpr std::uint8_t kLastGeneration = 249;

  Visited() = default;
  explicit Visited(std::size_t points) : marks_(points, 0) {}

  // Marks p; true when it was not visited yet. The mark is written either way,
  // so a caller that keeps the answer as a number has no branch to mispredict.
  bool insert(PointIndex p) {
    PVDB_CHECK(p < marks_.size());
    const bool fresh = marks_[p] != generation_;
    marks_[p] = generation_;
    return fresh;
  }

  bool contains(PointIndex p) const { return p < marks_.size() && marks_[p] == generation_; }

  void clear() {
    if (generation_ < kLastGeneration) {
      ++generation_;
      return;
    }
    std::fill(marks_.begin(), marks_.end(), std::uint8_t{0});
    generation_ = 1;
  }

  // Exactly n marks afterwards; added marks read as not visited.
  void reserve_capacity(std::size_t n) {
    marks_.resize(n, static_cast<std::uint8_t>(generation_ - 1));
  }

  std::uint8_t generation() const { return generation_; }
  const std::vector<std::uint8_t>& marks() const { return marks_; }

 private:
  std::vector<std::uint8_t> marks_;
  std::uint8_t generation_ = 1;
};

}  // namespace pvdb::index
