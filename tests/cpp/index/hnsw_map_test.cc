#include "index/hnsw_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "reference.h"

namespace pvdb::index {
namespace {

using base::WorkerPool;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Gaussian clusters around random centres: the shape real embeddings tend to have.
std::vector<Point> clustered(std::size_t n, std::size_t dim, std::size_t clusters,
                             std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Point> centres(clusters, Point(dim));
  for (Point& c : centres) {
    for (float& x : c) x = 3.0f * g(rng);
  }
  std::vector<Point> points(n, Point(dim));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < dim; ++k) points[i][k] = centres[i % clusters][k] + g(rng);
  }
  return points;
}

Builder seeded(std::uint64_t seed) {
  Builder builder;
  builder.seed = seed;
  return builder;
}

std::vector<std::span<const float>> rows_of(const std::vector<Point>& points) {
  return std::vector<std::span<const float>>(points.begin(), points.end());
}

std::vector<Point> copies(const PointSet& set) {
  std::vector<Point> out;
  for (std::size_t p = 0; p < set.size(); ++p) out.emplace_back(set[p].begin(), set[p].end());
  return out;
}

bool same_graph(const Hnsw& a, const reference::Graph& b) {
  return std::ranges::equal(a.zero(), b.zero) && a.layers() == b.layers;
}

// On one worker the insertions run in ascending order, so the graph must equal
// the one the plain reference builds, whatever the options.
TEST(HnswMap, SerialBuildEqualsTheReferenceBuild) {
  WorkerPool serial(1);
  const std::vector<Point> points = clustered(kSanitized ? 420 : 1400, 8, 9, 2);
  // A small ef makes the result depend on where the descent lands; 100 is the
  // default, where a re-selection never drops a candidate.
  const struct {
    bool heuristic;
    std::uint64_t ef_construction;
  } cases[] = {{true, 6}, {true, 100}, {false, 6}, {false, 40}};
  for (const auto& c : cases) {
    Builder builder = seeded(5);
    if (!c.heuristic) builder.heuristic.reset();
    builder.ef_construction = c.ef_construction;
    const HnswMap map =
        HnswMap::build(PointSet(points), counting<std::uint64_t>(points.size()), builder, serial);
    const reference::Graph expected = reference::build(copies(map.hnsw().points()), builder);
    EXPECT_TRUE(same_graph(map.hnsw(), expected)) << c.heuristic << " " << c.ef_construction;
    // Borrowed, each stored point is the caller's own row, found through its value.
    const HnswMap again = HnswMap::build(PointSet::borrowed(rows_of(points)),
                                         counting<std::uint64_t>(points.size()), builder, serial);
    EXPECT_TRUE(same_graph(again.hnsw(), expected)) << c.heuristic << " " << c.ef_construction;
    for (std::size_t j = 0; j < points.size(); ++j) {
      ASSERT_EQ(again.hnsw().points()[j].data(), points[again.values()[j]].data()) << j;
    }
  }
  // Wider points with the default settings: the bounds an insertion's search
  // remembers are looser there, and its link-backs decide from them.
  const std::vector<Point> wide = clustered(600, 32, 3, 4);
  const Builder builder = seeded(5);
  const HnswMap map =
      HnswMap::build(PointSet(wide), counting<std::uint64_t>(wide.size()), builder, serial);
  EXPECT_TRUE(same_graph(map.hnsw(), reference::build(copies(map.hnsw().points()), builder)));
}

// Invariants that hold however the insertions interleave: upper layers were frozen
// before lower points came, and every list is filled from its start, without
// duplicates or the point itself.
void expect_well_formed(const Hnsw& hnsw) {
  const std::size_t n = hnsw.points().size();
  const std::vector<LayerPlan> plan = layer_plan(n, kDefaultMl);
  ASSERT_EQ(hnsw.layers().size(), plan.size() - 1);
  for (std::size_t t = 0; t + 1 < plan.size(); ++t) {
    const std::vector<UpperNode>& layer = hnsw.layers()[plan[t].layer - 1];
    ASSERT_EQ(layer.size(), plan[t].end);
    for (const UpperNode& node : layer) {
      for (const PointIndex q : node.slots) ASSERT_TRUE(q == kEmptySlot || q < plan[t].end);
    }
  }
  for (std::size_t p = 0; p < n; ++p) {
    const std::vector<PointIndex> list = reference::slots(hnsw.zero()[p]);
    const std::set<PointIndex> seen(list.begin(), list.end());
    ASSERT_EQ(seen.size(), list.size()) << "duplicate in list " << p;
    ASSERT_TRUE(n == 1 || !seen.empty()) << p;
    ASSERT_FALSE(seen.contains(static_cast<PointIndex>(p))) << p;
    ASSERT_TRUE(seen.empty() || *seen.rbegin() < n) << p;
    for (std::size_t k = list.size(); k < kZeroSlots; ++k) {
      ASSERT_EQ(hnsw.zero()[p].slots[k], kEmptySlot) << "gap in list " << p;
    }
  }
}

// Builds on pools of 2, 4 and 8 workers must give well-formed graphs whose queries
// follow the plain algorithm on that graph exactly, and a limited query returns the
// leading results. Up to 65 points fit one result list, so there a query returns every
// point in exact order: distance, then build order.
void check_parallel_builds(const std::vector<Point>& points, const std::vector<Point>& queries) {
  for (const std::size_t threads : {2u, 4u, 8u}) {
    SCOPED_TRACE(::testing::Message() << points.size() << " points, " << threads << " threads");
    WorkerPool pool(threads);
    const HnswMap map = HnswMap::build(PointSet(points), counting<std::uint64_t>(points.size()),
                                       seeded(threads), pool);
    expect_well_formed(map.hnsw());
    const reference::Graph graph{{map.hnsw().zero().begin(), map.hnsw().zero().end()},
                                 map.hnsw().layers()};
    const std::vector<Point> stored = copies(map.hnsw().points());
    Beam search;  // reused on purpose: reuse must not change results
    Beam limited;
    for (const Point& q : queries) {
      const auto results = map.search(q, search);
      if (points.empty()) {
        ASSERT_TRUE(results.empty());
        continue;
      }
      const std::vector<Candidate> expected =
          reference::descend(graph.zero, graph.layers, 0, stored, q, 100, kZeroSlots);
      if (points.size() <= kZeroSlots + 1) {
        std::vector<Candidate> exact;
        for (PointIndex j = 0; j < points.size(); ++j) exact.push_back({distance(q, stored[j]), j});
        std::sort(exact.begin(), exact.end());
        ASSERT_EQ(expected, exact);
      }
      const auto first = map.search(q, limited, expected.size() / 3);
      ASSERT_EQ(results.size(), expected.size());
      ASSERT_EQ(first.size(), expected.size() / 3);
      for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(results[k].point_index, expected[k].point);
        ASSERT_TRUE(same_float(expected[k].distance, results[k].distance));
        ASSERT_EQ(results[k].value, map.values()[expected[k].point]);
        if (k < first.size()) {
          ASSERT_EQ(first[k].point_index, expected[k].point);
        }
      }
    }
  }
}

TEST(HnswMap, ParallelBuildsAreWellFormedAndQueriesMatchTheReference) {
  // Queries whose sketches bound tightly, loosely or not at all: the sketched search
  // must still end exactly as the plain one.
  std::vector<Point> probes = clustered(20, 16, 20, 4);
  probes.push_back(Point(16, kNaN));
  probes.push_back(Point(16, 0.0f));
  probes.push_back(clustered(1, 10, 1, 5)[0]);
  Point tiny = probes[0];
  for (float& x : tiny) x *= 1e-9f;
  probes.push_back(tiny);
  check_parallel_builds(clustered(kSanitized ? 2500 : 6000, 16, 20, 3), probes);
  // Point counts where one more layer begins, with awkward points mixed in: NaN
  // components, exact duplicates and zero vectors, which tie and never discard.
  for (const std::size_t n : {110u, 111u, 385u, 1335u, 4627u}) {
    std::vector<Point> points = clustered(n, 8, 12, static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; i += 17) points[i][i % 8] = kNaN;
    for (std::size_t i = 5; i < n; i += 13) points[i] = points[i - 5];
    for (std::size_t i = 9; i < n; i += 29) points[i] = Point(8, 0.0f);
    std::vector<Point> queries = clustered(6, 8, 12, 99);
    queries.push_back(points[5]);
    queries.push_back(Point(8, 0.0f));
    check_parallel_builds(points, queries);
  }
  // Small sets with odd lengths, an exact tie, zero vectors, NaN and infinite components.
  for (const std::size_t n : {0u, 1u, 2u, 3u, 17u, 64u, 65u}) {
    std::vector<Point> points = clustered(n, 3, 2, static_cast<std::uint32_t>(n));
    if (n > 1) points[n / 2] = points[0];
    if (n > 3) {
      points[1] = Point{0, 0, 0};
      points[2] = Point{kNaN, 1, 1};
      points[3] = Point{1, kInf};
      points[n - 1] = Point{1, 2};
    }
    std::vector<Point> queries = clustered(5, 3, 1, 21);
    queries.push_back(Point{});
    queries.push_back(Point{kNaN});
    check_parallel_builds(points, queries);
  }
  // Sets of one degenerate point repeated.
  for (const Point& same : {Point(4, 0.0f), Point{kNaN, 1}, Point{}}) {
    check_parallel_builds(std::vector<Point>(250, same), {Point{1, 2, 3, 4, 5}});
  }
  // All zero: every distance is 2.0, so the first 64 in build order win.
  const std::vector<Point> zeros(300, Point(4, 0.0f));
  const HnswMap map =
      HnswMap::build(PointSet(zeros), counting<std::uint64_t>(zeros.size()), seeded(2));
  for (PointIndex k = 0; k < kZeroSlots; ++k) EXPECT_EQ(map.hnsw().zero()[299].slots[k], k);
}

}  // namespace
}  // namespace pvdb::index
