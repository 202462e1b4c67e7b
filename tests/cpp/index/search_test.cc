#include "index/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "reference.h"

namespace pvdb::index {
namespace {

TEST(Candidate, TotalOrder) {
  struct Case {
    Candidate a;
    Candidate b;
    bool less;
  };
  const std::vector<Case> cases = {
      {{0.5f, 9}, {0.6f, 1}, true},  {{0.6f, 1}, {0.5f, 9}, false},  {{-0.0f, 2}, {0.0f, 3}, true},
      {{0.0f, 2}, {-0.0f, 3}, true}, {{0.0f, 3}, {-0.0f, 2}, false}, {{2.0f, 5}, {kNaN, 0}, true},
      {{kNaN, 0}, {2.0f, 5}, false}, {{kNaN, 1}, {-kNaN, 2}, true},  {{kNaN, 2}, {kNaN, 1}, false},
      {{1.0f, 4}, {1.0f, 4}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a < c.b, c.less) << c.a.distance << "/" << c.a.point << " vs " << c.b.distance
                                 << "/" << c.b.point;
  }
  EXPECT_TRUE((Candidate{-0.0f, 7} == Candidate{0.0f, 7}));
  EXPECT_TRUE((Candidate{kNaN, 7} == Candidate{-kNaN, 7}));
  EXPECT_FALSE((Candidate{1.0f, 7} == Candidate{1.0f, 8}));
}

TEST(Visited, GenerationWrapsAfter248ClearsAndCapacityChangesBothWays) {
  Visited visited(3);
  EXPECT_EQ(visited.generation(), 1);
  EXPECT_TRUE(visited.insert(1));
  EXPECT_FALSE(visited.insert(1));
  for (int k = 0; k < 248; ++k) visited.clear();
  EXPECT_EQ(visited.generation(), 249);
  EXPECT_TRUE(visited.insert(2));
  visited.clear();
  EXPECT_EQ(visited.generation(), 1);
  EXPECT_EQ(visited.marks(), std::vector<std::uint8_t>(3, 0));
  // Mark 1 was set in generation 1 long ago; after the wrap it must not count.
  EXPECT_TRUE(visited.insert(1));
  EXPECT_TRUE(visited.insert(2));
  visited.clear();
  visited.insert(0);
  visited.reserve_capacity(5);
  EXPECT_EQ(visited.marks().size(), 5u);
  EXPECT_TRUE(visited.contains(0));
  for (PointIndex p = 1; p < 5; ++p) EXPECT_FALSE(visited.contains(p)) << p;
  visited.reserve_capacity(1);
  EXPECT_EQ(visited.marks().size(), 1u);
  EXPECT_TRUE(visited.contains(0));
}

// Fills nearest with every point, ranked from query, as a search would leave it.
Search ranked(const PointSet& set, const Query& query) {
  Search search;
  search.visited = Visited(set.size());
  search.ef = set.size();
  for (PointIndex p = 0; p < set.size(); ++p) search.push(p, query, set);
  return search;
}

// Candidates ranked from point 0 of each set. From (1, 0), both (0, 1) and (0, 2)
// are at 1.0, and (0, 2) is at 0 from (0, 1): discarded. (-1, -1) is exactly as far
// from (0, 1) as from (1, 0): kept. All-zero points tie everywhere at 2.0: the first
// 64 are kept in order.
TEST(SelectHeuristic, MatchesPlainSelection) {
  std::mt19937 rng(3);
  const auto random_points = [&](std::size_t n) {
    std::vector<Point> points(n);
    for (Point& p : points) p = gaussian(rng, 6);
    return points;
  };
  const std::vector<std::vector<Point>> sets = {
      random_points(5),
      random_points(40),
      random_points(130),
      {{1, 0}, {0, 1}, {-1, -1}, {0, 2}},
      std::vector<Point>(100, Point(4, 0.0f)),
  };
  for (const std::vector<Point>& points : sets) {
    const PointSet set(points);
    for (const bool keep_pruned : {false, true}) {
      Search search = ranked(set, set.query(0));
      const std::vector<Candidate> expected =
          reference::select(search.nearest, points, keep_pruned);
      const auto chosen =
          search.select_heuristic(set.query(0), Layer::zero({}), set, false, keep_pruned).entries;
      EXPECT_EQ(std::vector<Candidate>(chosen.begin(), chosen.end()), expected) << points.size();
      if (keep_pruned) {
        EXPECT_EQ(chosen.size(), std::min<std::size_t>(points.size(), kZeroSlots));
      }
    }
  }
}

}  // namespace
}  // namespace pvdb::index
