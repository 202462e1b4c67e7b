#include "index/sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/kernels.h"
#include "index/layer.h"
#include "index/search.h"
#include "reference.h"

namespace pvdb::index {
namespace {

// Rows the rounding treats worst: one large value among small ones, values just
// off the rounding steps, near copies of the query, and scales from subnormal
// to huge.
std::vector<Point> awkward_rows(const Point& query, std::mt19937& rng) {
  const std::size_t n = query.size();
  std::vector<Point> rows;
  for (const double scale : {1e-20, 1e-3, 1.0, 1e6, 1e17}) rows.push_back(gaussian(rng, n, scale));
  Point spike(n, 1e-3f);
  spike[n / 2] = 50.0f;
  rows.push_back(spike);
  Point steps(n);
  for (std::size_t i = 0; i < n; ++i)
    steps[i] = (static_cast<float>(i % 255) - 127.0f + 0.5f) / 127.0f;
  rows.push_back(steps);
  for (const float eps : {0.0f, 1e-6f, 1e-3f}) {
    Point near = query;
    for (float& x : near) x += eps * x;
    rows.push_back(near);
    Point opposite = near;
    for (float& x : opposite) x = -x;
    rows.push_back(opposite);
  }
  rows.push_back(Point(n + 5, 1.0f));  // longer than the query
  rows.push_back(Point(n / 2, 1.0f));  // shorter
  rows.push_back(Point{});
  // No safe bound for the last kUnsafe: they must come back as -infinity.
  Point with_nan = query;
  with_nan[0] = kNaN;
  rows.push_back(with_nan);
  Point with_inf = query;
  with_inf[n - 1] = kInf;
  rows.push_back(with_inf);
  rows.push_back(Point(n, 0.0f));
  rows.push_back(Point(n, 1e-30f));
  rows.push_back(Point(n, 3e37f));
  rows.push_back(Point(4097, 1.0f));
  return rows;
}
constexpr std::size_t kUnsafe = 6;

// The exact distances from `query` to every row, and the rows' sketch lower bounds.
struct Bounds {
  std::vector<float> exact;
  std::vector<float> lo;
};

Bounds bounds(const std::vector<Point>& rows, const Point& query) {
  const PointSet set(rows);
  const Sketches sketches(set);
  const Query q = Query::of(query);
  SketchQuery sketch;
  sketch.assign(q);
  const std::vector<PointIndex> ids = counting(rows.size());
  Bounds out{std::vector<float>(rows.size()), std::vector<float>(rows.size())};
  set.distances(q, ids, out.exact.data());
  sketches.lower_bounds(sketch, ids, out.lo.data());
  return out;
}

Bounds expect_bounds_hold(const std::vector<Point>& rows, const Point& query,
                          const std::string& label) {
  const Bounds b = bounds(rows, query);
  for (std::size_t p = 0; p < rows.size(); ++p) {
    // A NaN distance ranks above every number, so any bound is below it.
    if (std::isnan(b.exact[p])) continue;
    EXPECT_LE(b.lo[p], b.exact[p]) << label << " row " << p;
  }
  return b;
}

// The bounds hold on awkward rows, and where nothing can be bounded they say so
// instead of guessing. They must also be narrow enough to be worth their cost: on
// ordinary rows they stay within about a hundredth of the exact distance, nearly all
// of it the rows' rounding (a query rounded as coarsely as its rows would leave 0.017).
TEST(Sketches, LowerBoundsHoldAndAreCloseOnOrdinaryRows) {
  std::mt19937 rng(5);
  for (const std::size_t n : {1u, 3u, 32u, 63u, 64u, 65u, 128u, 384u, 1000u, 4096u}) {
    for (const double scale : {1e-6, 1.0, 1e12}) {
      const Point query = gaussian(rng, n, scale);
      std::vector<Point> rows = awkward_rows(query, rng);
      const std::size_t ordinary = rows.size();
      for (int k = 0; k < 200; ++k) rows.push_back(gaussian(rng, n, 1.0));
      const std::string label = "n " + std::to_string(n) + " scale " + std::to_string(scale);
      const Bounds b = expect_bounds_hold(rows, query, label);
      for (std::size_t p = ordinary - kUnsafe; p < ordinary; ++p) {
        EXPECT_EQ(b.lo[p], -kInf) << label << " row " << p;
      }
      for (std::size_t p = ordinary; n >= 32 && p < rows.size(); ++p) {
        EXPECT_LT(b.exact[p] - b.lo[p], 0.014f) << label << " row " << p;
      }
      // A query longer than every row, whose last lines have no row lines to meet.
      std::vector<Point> shorter;
      for (int k = 0; k < 20; ++k) shorter.push_back(gaussian(rng, (n + 1) / 2, 1.0));
      expect_bounds_hold(shorter, query, "shorter rows, " + label);
      // An unsafe query bounds nothing, however ordinary the rows.
      for (const Point& bad : {rows[ordinary - kUnsafe], Point(n, 0.0f), Point(4097, 1.0f)}) {
        for (const float lo : bounds({query, rows.back()}, bad).lo) EXPECT_EQ(lo, -kInf) << label;
      }
    }
    // Every value at its largest level on both sides: the integer sum is as large
    // as it gets at this length.
    const Point flat(n, 1.0f);
    expect_bounds_hold({flat, Point(n, 3.0f), gaussian(rng, n, 1.0)}, flat,
                       "flat, n " + std::to_string(n));
  }
}

TEST(DotKernels, WordKernelsAgreeExactly) {
  const std::vector<kernels::DotWordsFn> fns = kernels::dot_words_kernels();
  std::mt19937 rng(8);
  for (const std::size_t lines : {1u, 2u, 3u, 6u, 64u}) {
    const std::size_t n = lines * kSketchLine;
    // The largest query level at this length, as the sketches use it.
    const int top = static_cast<int>(std::min<std::int64_t>(32767, 2147483647 / (127 * n)));
    std::uniform_int_distribution<int> word(-top, top);
    std::uniform_int_distribution<int> byte(-127, 127);
    std::vector<std::int16_t> a(n);
    std::vector<std::int8_t> b(n);
    // Random values, then the extremes of every sign pairing, where the sum comes
    // closest to overflowing.
    for (const bool extreme : {false, true}) {
      std::int64_t expected = 0;
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = static_cast<std::int16_t>(extreme ? (i % 4 < 2 ? top : -top) : word(rng));
        b[i] = static_cast<std::int8_t>(extreme ? (i % 8 < 4 ? 127 : -127) : byte(rng));
        expected += a[i] * b[i];
      }
      for (const kernels::DotWordsFn fn : fns) {
        EXPECT_EQ(fn(a.data(), b.data(), lines), expected) << lines << " " << extreme;
      }
    }
    // All of one sign: the largest sum the sketches can ask for.
    std::fill(a.begin(), a.end(), static_cast<std::int16_t>(top));
    std::fill(b.begin(), b.end(), std::int8_t{127});
    const std::int64_t largest = std::int64_t{top} * 127 * static_cast<std::int64_t>(n);
    for (const kernels::DotWordsFn fn : fns) EXPECT_EQ(fn(a.data(), b.data(), lines), largest);
  }
}

// A ring over random links: every point is reachable and lists are full.
std::vector<ZeroNode> ring_with_random_links(std::size_t n, std::mt19937& rng) {
  std::vector<ZeroNode> zero(n);
  for (std::size_t p = 0; p < n; ++p) {
    zero[p].slots[0] = static_cast<PointIndex>((p + 1) % n);
    for (std::size_t k = 1; k < kZeroSlots; ++k)
      zero[p].slots[k] = static_cast<PointIndex>(rng() % n);
  }
  return zero;
}

// A fresh search from point 0 over `n` points.
void start(Search& s, const Query& q, std::size_t n, std::size_t ef) {
  s.reset();
  s.visited.reserve_capacity(n);
  s.ef = ef;
  s.sketch.assign(q);
}

// Construction's search remembers the bounds it found, and its link-backs decide
// comparisons from them: each must hold for its own query only, and both kinds
// (sketch lower bounds and distance bounds) must come up.
TEST(Sketches, BoundedSearchRemembersTrueBoundsOfVisitedPointsOnly) {
  std::mt19937 rng(5);
  const std::size_t n = 800;
  std::vector<Point> points;
  for (std::size_t i = 0; i < n; ++i) points.push_back(gaussian(rng, 24, 1.0));
  const PointSet set(points);
  const Sketches sketches(set);
  const std::vector<ZeroNode> zero = ring_with_random_links(n, rng);
  Search s;  // one state for all queries, as construction reuses it
  std::size_t ruled_out = 0;
  std::size_t bounded = 0;
  for (int round = 0; round < 4; ++round) {
    const Point query = round == 3 ? points[11] : gaussian(rng, 24, 1.0);
    const Query q = Query::of(query);
    start(s, q, n, 10);
    s.push_bounded(0, q, set);
    s.search_bounded(q, Layer::zero(zero), set, kZeroSlots, &sketches);
    for (PointIndex p = 0; p < n; ++p) {
      float lo = 0.0f;
      float hi = 0.0f;
      if (!s.bounds_seen(p, lo, hi)) {
        EXPECT_FALSE(s.visited.contains(p)) << p;
        continue;
      }
      const float exact = set.distance_to(q, p);
      EXPECT_LE(lo, exact) << round << " " << p;
      EXPECT_GE(hi, exact) << round << " " << p;
      (std::isinf(hi) ? ruled_out : bounded) += 1;
    }
  }
  EXPECT_GT(ruled_out, 0u);
  EXPECT_GT(bounded, 0u);
}

}  // namespace
}  // namespace pvdb::index
