#include "index/point.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "index/kernels.h"

namespace pvdb::index {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Equal bit for bit, except that any NaN matches any NaN.
::testing::AssertionResult same_float(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << " got " << actual;
}

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
  std::vector<kernels::DotBatchFn> batch = {kernels::dot_batch_sse2};
  if (kernels::has_avx2()) batch.push_back(kernels::dot_batch_avx2);
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
    for (const kernels::DotBatchFn fn : batch) {
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

TEST(PointSet, BatchedDistancesMatchDistance) {
  std::mt19937 rng(9);
  for (const bool specials : {false, true}) {
    const std::vector<Point> points = awkward_points(rng, 90, specials, false);
    const PointSet set(points);
    std::vector<PointIndex> ids;
    for (PointIndex p = 0; p < points.size(); ++p) ids.push_back(p);
    std::shuffle(ids.begin(), ids.end(), rng);
    for (PointIndex q = 0; q < points.size(); q += 7) {
      std::vector<float> out(ids.size());
      set.distances(set.query(q), ids, out.data());
      for (std::size_t k = 0; k < ids.size(); ++k) {
        ASSERT_TRUE(same_float(distance(points[q], points[ids[k]]), out[k]));
        ASSERT_TRUE(same_float(out[k], set.distance_to(Query::of(points[q]), ids[k])));
      }
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

TEST_P(PointSetSource, RowsNormsAndReorderingAgree) {
  const Rows rows;
  const PointSet set = make_set(GetParam(), rows);
  const std::vector<PointIndex> order = {2, 0, 3, 1};
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
  }
}

INSTANTIATE_TEST_SUITE_P(AllSources, PointSetSource,
                         ::testing::Values(Source::Points, Source::Flat, Source::Borrowed));

TEST(PointSet, BorrowedAndReorderedRowsStayInTheCallersMemory) {
  const Rows rows;
  const PointSet set = PointSet::borrowed(rows.spans());
  const PointSet reordered = set.reordered(std::vector<PointIndex>{3, 2, 1, 0});
  for (std::size_t p = 0; p < rows.points.size(); ++p) {
    EXPECT_EQ(set[p].data(), rows.points[p].data()) << p;
    EXPECT_EQ(reordered[3 - p].data(), rows.points[p].data()) << p;
    EXPECT_EQ(reordered[3 - p].size(), rows.points[p].size()) << p;
  }
}

TEST(PointSet, ReorderingAnOwnedSetSharesItsFloats) {
  const PointSet flat({1, 2, 3}, std::vector<std::uint64_t>{1, 2});
  const PointSet reordered = flat.reordered(std::vector<PointIndex>{1, 0, 1});
  EXPECT_EQ(reordered[0].data(), flat[1].data());
  EXPECT_EQ(reordered[1].data(), flat[0].data());
  EXPECT_EQ(reordered[2].data(), flat[1].data());
}

}  // namespace
}  // namespace pvdb::index
