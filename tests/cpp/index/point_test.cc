#include "index/point.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "index/kernels.h"
#include "index/sketch.h"
#include "reference.h"

namespace pvdb::index {
namespace {

struct DistanceCase {
  const char* name;
  Point a;
  Point b;
  float expected;
};

TEST(Distance, ExactValues) {
  const std::vector<DistanceCase> cases = {
      {"zero to itself", {0, 0}, {0, 0}, 2.0f},
      {"zero to a vector", {0, 0, 0}, {1, 2, 3}, 2.0f},
      {"empty to a vector", {}, {1, 2}, 2.0f},
      {"both empty", {}, {}, 2.0f},
      {"longer first", {1, 1}, {1}, 0.29289323f},
      {"extra zero", {1, 0}, {1}, 0.0f},
      {"opposite", {1, 0}, {-1, 0}, 2.0f},
      {"orthogonal", {1, 0}, {0, 1}, 1.0f},
      {"near", {3, 4}, {4, 3}, 0.04000002f},
      {"to itself", {1, 2, 3}, {1, 2, 3}, 5.9604645e-08f},
      {"rounds below zero", {1, 1}, {1, 1}, 0.0f},
      {"nan component", {1, kNaN}, {1, 2}, kNaN},
      {"infinite in common part", {kInf, 1}, {1, 1}, kNaN},
      {"infinite norm only", {1, 0, kInf}, {1, 0}, 1.0f},
  };
  for (const DistanceCase& c : cases) {
    EXPECT_TRUE(same_float(c.expected, distance(c.a, c.b))) << c.name;
    EXPECT_TRUE(same_float(distance(c.a, c.b), distance(c.b, c.a))) << c.name << " symmetric";
  }
}

// Values that stress rounding: ordinary, huge, tiny, subnormal, signed zeros, and now
// and then a NaN or an infinity; lengths differ from point to point.
std::vector<Point> awkward_points(std::mt19937& rng, std::size_t count) {
  std::uniform_int_distribution<int> pick(0, 99);
  std::uniform_int_distribution<std::size_t> len(0, 140);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const auto value = [&] {
    const int kind = pick(rng);
    if (kind == 0) return kNaN;
    if (kind == 1) return -kInf;
    if (kind < 6) return g(rng) * 1e-40f;  // subnormal
    if (kind < 10) return g(rng) * 1e18f;
    if (kind < 12) return kind % 2 ? -0.0f : 0.0f;
    return g(rng);
  };
  std::vector<Point> points(count);
  for (Point& p : points) {
    p.resize(len(rng));
    for (float& x : p) x = value();
  }
  return points;
}

// Near-parallel rows (distances at the clamp), rows whose products cancel, long
// rows and awkward ones: the bounds must hold the exact distance in every case, and
// stay narrow enough on ordinary rows to settle most comparisons.
std::vector<Point> bound_cases(std::mt19937& rng) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Point> points = awkward_points(rng, 60);
  for (const std::size_t dim : {3u, 128u, 384u, 5000u}) {
    const Point base = gaussian(rng, dim);
    for (int k = 0; k < 6; ++k) {
      Point near = base;
      for (float& x : near) x += g(rng) * 1e-4f * static_cast<float>(k);
      points.push_back(near);
      Point cancel = base;  // + and - halves whose products nearly cancel
      for (std::size_t i = 0; i < dim; ++i) cancel[i] *= (i % 2 ? -1e6f : 1e6f);
      points.push_back(cancel);
    }
  }
  return points;
}

// Batched distances, one at a time or in any order, equal the plain distance; the
// bounds hold it.
TEST(PointSet, BatchedDistancesAndTheirBoundsMatchDistance) {
  std::mt19937 rng(13);
  const std::vector<Point> points = bound_cases(rng);
  const PointSet set(points);
  std::vector<PointIndex> ids = counting(points.size());
  std::shuffle(ids.begin(), ids.end(), rng);
  std::size_t narrow = 0;
  std::size_t ordinary = 0;
  for (PointIndex q = 0; q < points.size(); ++q) {
    std::vector<float> exact(ids.size());
    std::vector<float> lo(ids.size());
    std::vector<float> hi(ids.size());
    set.distances(set.query(q), ids, exact.data());
    set.distance_bounds(set.query(q), ids, lo.data(), hi.data());
    for (std::size_t k = 0; k < ids.size(); ++k) {
      const PointIndex p = ids[k];
      ASSERT_TRUE(same_float(distance(points[q], points[p]), exact[k])) << q << " " << p;
      ASSERT_TRUE(same_float(exact[k], set.distance_to(Query::of(points[q]), p)));
      if (std::isnan(exact[k])) {
        ASSERT_TRUE(std::isnan(lo[k]) && std::isnan(hi[k])) << q << " " << p;
        continue;
      }
      ASSERT_LE(lo[k], exact[k]) << q << " " << p;
      ASSERT_GE(hi[k], exact[k]) << q << " " << p;
      if (points[q].size() == 128 && points[p].size() == 128 && q != p) {
        ++ordinary;
        narrow += hi[k] - lo[k] < 1e-4f;
      }
    }
  }
  ASSERT_GT(ordinary, 0u);
  EXPECT_EQ(narrow, ordinary);
  // Every exact kernel this processor runs adds in the scalar order, not only the one
  // chosen here: a machine without the widest one runs another. Batches of every size
  // exercise the padded lanes.
  std::vector<const float*> rows;
  std::vector<std::size_t> lens;
  for (const Point& p : points) {
    rows.push_back(p.data());
    lens.push_back(p.size());
  }
  for (const kernels::DotBatchFn fn : kernels::dot_batch_kernels()) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < points.size(); at += count) {
      count = std::min(1 + count % kernels::kMaxBatch, points.size() - at);
      float out[kernels::kMaxBatch];
      fn(rows[at], lens[at], rows.data() + at, lens.data() + at, count, out);
      for (std::size_t k = 0; k < count; ++k) {
        const float expected = kernels::dot_scalar(rows[at], lens[at], rows[at + k], lens[at + k]);
        ASSERT_TRUE(same_float(expected, out[k])) << at << " " << k;
      }
    }
  }
}

// The bounds rely on every fast kernel keeping each product within len / 8 + 16
// roundings of the result; a kernel that sums deeper drifts further than this.
TEST(DotKernels, FastKernelsStayWithinTheirErrorBound) {
  std::mt19937 rng(21);
  std::normal_distribution<double> g(0.0, 1.0);
  for (const std::size_t n : {0u, 1u, 7u, 8u, 31u, 33u, 128u, 1000u, 4099u}) {
    Point a(n);
    Point b(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = static_cast<float>(g(rng));
      b[i] = static_cast<float>(g(rng));
    }
    // One unit product and then products each below half its ulp: a plain running
    // sum loses every one of them, a sum spread over lanes keeps most.
    Point unit(n, 1.0f);
    Point tiny(n, 0x1p-25f);
    if (n > 0) tiny[0] = 1.0f;
    for (const auto& [x, y] : {std::pair{&a, &b}, std::pair{&unit, &tiny}}) {
      double exact = 0.0;
      double magnitude = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double product = static_cast<double>((*x)[i]) * static_cast<double>((*y)[i]);
        exact += product;
        magnitude += std::fabs(product);
      }
      const float* rows[] = {y->data()};
      const std::size_t lens[] = {n};
      for (const kernels::DotBatchFn fn : kernels::dot_fast_batch_kernels()) {
        float out = 0.0f;
        fn(x->data(), n, rows, lens, 1, &out);
        const double depth = static_cast<double>(n) / 8.0 + 17.0;
        EXPECT_LE(std::fabs(out - exact), depth * 0x1p-24 * 1.01 * magnitude) << n;
      }
      // The exact in-order sum is the one the bound must allow for.
      const float in_order = kernels::dot_scalar(x->data(), n, y->data(), n);
      EXPECT_LE(std::fabs(in_order - exact), static_cast<double>(n) * 0x1p-24 * 1.01 * magnitude);
    }
  }
}

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
    // Random values, then the largest products of one sign: the sums the sketches can
    // ask for that come closest to overflowing.
    for (const int sign : {0, 1, -1}) {
      std::int64_t expected = 0;
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = static_cast<std::int16_t>(sign != 0 ? sign * top : word(rng));
        b[i] = static_cast<std::int8_t>(sign != 0 ? 127 : byte(rng));
        expected += a[i] * b[i];
      }
      for (const kernels::DotWordsFn fn : fns) {
        EXPECT_EQ(fn(a.data(), b.data(), lines), expected) << lines << " " << sign;
      }
    }
  }
}

}  // namespace
}  // namespace pvdb::index
