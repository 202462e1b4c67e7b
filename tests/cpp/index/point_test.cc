#include "index/point.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "index/kernels.h"
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
      {"longer second", {1}, {1, 1}, 0.29289323f},
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

// Values that stress rounding: ordinary, huge, tiny, subnormal, signed zeros,
// and now and then a NaN or an infinity.
float awkward_value(std::mt19937& rng, bool specials) {
  std::uniform_int_distribution<int> pick(0, 99);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const int kind = pick(rng);
  if (specials && kind == 0) return kNaN;
  if (specials && kind == 1) return -kInf;
  if (kind < 6) return g(rng) * 1e-40f;  // subnormal
  if (kind < 10) return g(rng) * 1e18f;
  if (kind < 12) return kind % 2 ? -0.0f : 0.0f;
  return g(rng);
}

// Lengths differ from point to point when same_length is false.
std::vector<Point> awkward_points(std::mt19937& rng, std::size_t count, bool specials,
                                  bool same_length) {
  std::uniform_int_distribution<std::size_t> len(0, 140);
  const std::size_t common = len(rng);
  std::vector<Point> points(count);
  for (Point& p : points) {
    p.resize(same_length ? common : len(rng));
    for (float& x : p) x = awkward_value(rng, specials);
  }
  return points;
}

TEST(DotKernels, MatchTheScalarLoopBitForBit) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 400; ++trial) {
    const bool specials = trial % 4 == 0;
    const bool same_length = trial % 2 == 0;
    std::vector<Point> rows =
        awkward_points(rng, 1 + trial % (kernels::kMaxBatch + 1), specials, same_length);
    const Point query =
        same_length ? rows.back() : awkward_points(rng, 1, specials, same_length)[0];
    rows.pop_back();
    std::vector<const float*> data;
    std::vector<std::size_t> lens;
    for (const Point& r : rows) {
      data.push_back(r.data());
      lens.push_back(r.size());
    }
    for (const kernels::DotBatchFn fn : kernels::dot_batch_kernels()) {
      std::vector<float> out(rows.size());
      fn(query.data(), query.size(), data.data(), lens.data(), rows.size(), out.data());
      for (std::size_t k = 0; k < rows.size(); ++k) {
        const float expected =
            kernels::dot_scalar(query.data(), query.size(), rows[k].data(), rows[k].size());
        ASSERT_TRUE(same_float(expected, out[k])) << "trial " << trial << " row " << k;
      }
    }
  }
}

// Near-parallel rows (distances at the clamp), rows whose products cancel, long
// rows and awkward ones: the bounds must hold the exact distance in every case, and
// stay narrow enough on ordinary rows to settle most comparisons.
std::vector<Point> bound_cases(std::mt19937& rng) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Point> points = awkward_points(rng, 60, true, false);
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

// Rows of different lengths, an empty one among them, kept by the test itself so that
// a borrowed set can be checked against where its rows live.
struct Rows {
  std::vector<Point> points = {{1, 2}, {}, {3, 4, 5}, {-6}};
  std::vector<std::span<const float>> spans() const {
    return std::vector<std::span<const float>>(points.begin(), points.end());
  }
};

enum class Source { Points, Flat, Borrowed };

PointSet make_set(Source source, const Rows& rows) {
  switch (source) {
    case Source::Points:
      return PointSet(rows.points);
    case Source::Flat:
      return PointSet({1, 2, 3, 4, 5, -6}, std::vector<std::uint64_t>{2, 0, 3, 1});
    case Source::Borrowed:
      return PointSet::borrowed(rows.spans());
  }
  return PointSet();
}

class PointSetSource : public ::testing::TestWithParam<Source> {};

// The last row of `order` repeats one. A reordered set shares its floats: those of a
// borrowed set stay in the caller's memory, those of an owned one in its buffer.
TEST_P(PointSetSource, RowsNormsAndReorderingAgree) {
  const Rows rows;
  const PointSet set = make_set(GetParam(), rows);
  const std::vector<PointIndex> order = {2, 0, 3, 1, 2};
  const PointSet shared = set.reordered(order);
  // The original goes out of scope first: the reordered set must not depend on it.
  const PointSet reordered = [&] {
    const PointSet original = make_set(GetParam(), rows);
    return original.reordered(order);
  }();
  ASSERT_EQ(set.size(), rows.points.size());
  ASSERT_EQ(reordered.size(), order.size());
  for (std::size_t p = 0; p < rows.points.size(); ++p) {
    EXPECT_EQ(Point(set[p].begin(), set[p].end()), rows.points[p]) << p;
    EXPECT_TRUE(same_float(norm(rows.points[p]), set.query(p).norm)) << p;
  }
  for (std::size_t j = 0; j < order.size(); ++j) {
    const Point& expected = rows.points[order[j]];
    EXPECT_EQ(Point(reordered[j].begin(), reordered[j].end()), expected) << j;
    EXPECT_TRUE(same_float(norm(expected), reordered.query(j).norm)) << j;
    const Query q = Query::of(rows.points[0]);
    EXPECT_TRUE(same_float(distance(rows.points[0], expected), reordered.distance_to(q, j)));
    const bool borrowed = GetParam() == Source::Borrowed;
    EXPECT_EQ(shared[j].data(), borrowed ? expected.data() : set[order[j]].data()) << j;
    EXPECT_EQ(shared[j].size(), expected.size()) << j;
  }
}

INSTANTIATE_TEST_SUITE_P(AllSources, PointSetSource,
                         ::testing::Values(Source::Points, Source::Flat, Source::Borrowed));

}  // namespace
}  // namespace pvdb::index
