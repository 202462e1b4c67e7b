#pragma once

#include <cmath>

#include "index/point.h"

namespace pvdb::index {

// The float order every ranking of the index uses: numbers as usual (-0.0 equals
// +0.0), every NaN above every number, all NaNs equal to each other.
inline bool distance_less(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// A point and its distance from the point being searched for.
struct Candidate {
  float distance = 0.0f;
  PointIndex point = 0;
};

// By distance in the order above, then by point index: a total order.
inline bool operator<(const Candidate& a, const Candidate& b) {
  if (distance_less(a.distance, b.distance)) return true;
  if (distance_less(b.distance, a.distance)) return false;
  return a.point < b.point;
}

// A point whose distance is only known to lie in [lo, hi]; lo == hi when it is
// exact (a NaN distance is always exact).
struct Bounded {
  float lo = 0.0f;
  float hi = 0.0f;
  PointIndex point = 0;

  bool exact() const { return lo == hi || std::isnan(lo); }
};

inline bool operator==(const Candidate& a, const Candidate& b) { return !(a < b) && !(b < a); }

}  // namespace pvdb::index
