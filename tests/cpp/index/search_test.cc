#include "index/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "index/search_pool.h"
#include "reference.h"

namespace pvdb::index {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

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

TEST(Visited, GenerationWrapsAfter248Clears) {
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
}

TEST(Visited, ReserveCapacityBothWays) {
  Visited visited(2);
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

// Points on a circle: the distance from (1, 0) grows with the angle.
std::vector<Point> circle(std::size_t n) {
  std::vector<Point> points;
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = 0.01 * static_cast<double>(i);
    points.push_back({static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))});
  }
  return points;
}

TEST(Search, PushKeepsEfAndDropsForGood) {
  const std::vector<Point> points = circle(6);
  const PointSet set(points);
  const Query query = Query::of(points[0]);
  Search search;
  search.visited = Visited(points.size());
  search.ef = 2;
  search.push(3, query, set);
  search.push(1, query, set);
  search.push(1, query, set);  // already visited: no change
  search.push(4, query, set);  // would rank third: dropped
  search.push(0, query, set);  // ranks first: kept, nearest grows past ef until a search trims it
  ASSERT_EQ(search.nearest.size(), 3u);
  EXPECT_EQ(search.nearest[0].point, 0u);
  EXPECT_EQ(search.nearest[1].point, 1u);
  EXPECT_EQ(search.nearest[2].point, 3u);
  EXPECT_EQ(search.candidates.size(), 3u);
  EXPECT_TRUE(search.visited.contains(4));
  search.push(4, query, set);  // visited, so it stays out
  EXPECT_EQ(search.nearest.size(), 3u);
}

// A chain 0 - 1 - 2 - ... where point i + 1 is always a little farther from the query.
TEST(Search, EfOneFollowsTheChainAndCullRestarts) {
  const std::vector<Point> points = circle(8);
  const PointSet set(points);
  std::vector<ZeroNode> zero(points.size());
  for (PointIndex p = 0; p + 1 < points.size(); ++p) {
    zero[p].slots[0] = p + 1;
    zero[p + 1].slots[0] = p;
  }
  const Query query = Query::of(points[7]);
  Search search;
  search.visited = Visited(points.size());
  search.push(0, query, set);
  search.search(query, Layer::zero(zero), set, kZeroSlots);
  ASSERT_EQ(search.nearest.size(), 1u);
  EXPECT_EQ(search.nearest[0].point, 7u);
  search.cull();
  EXPECT_EQ(search.candidates.size(), 1u);
  EXPECT_TRUE(search.visited.contains(7));
  EXPECT_FALSE(search.visited.contains(6));
  // links = 0 follows nothing: the search stops where it stands.
  search.reset();
  search.push(0, query, set);
  search.search(query, Layer::zero(zero), set, 0);
  EXPECT_EQ(search.nearest[0].point, 0u);
}

TEST(Search, NanLastEntryNeverEndsTheSearch) {
  // Point 1 has a NaN distance; it is the only way on to point 2.
  const std::vector<Point> points = {{1, 0}, {kNaN, 0}, {0.5f, 0.5f}};
  const PointSet set(points);
  std::vector<ZeroNode> zero(3);
  zero[0].slots[0] = 1;
  zero[1].slots[0] = 2;
  const Query query = Query::of(points[2]);
  Search search;
  search.visited = Visited(3);
  search.ef = 3;
  search.push(1, query, set);
  search.search(query, Layer::zero(zero), set, kZeroSlots);
  ASSERT_EQ(search.nearest.size(), 2u);
  EXPECT_EQ(search.nearest[0].point, 2u);
  EXPECT_EQ(search.nearest[1].point, 1u);
}

TEST(SearchPool, FreshPairsAndLastInFirstOut) {
  SearchPool pool(4);
  SearchPair a = pool.pop();
  EXPECT_EQ(a.search.ef, 1u);
  EXPECT_EQ(a.insertion.visited.marks(), std::vector<std::uint8_t>(4, 0));
  a.search.ef = 11;
  SearchPair b = pool.pop();
  b.search.ef = 22;
  pool.push(std::move(a));
  pool.push(std::move(b));
  EXPECT_EQ(pool.idle(), 2u);
  EXPECT_EQ(pool.pop().search.ef, 22u);
  EXPECT_EQ(pool.pop().search.ef, 11u);
  EXPECT_EQ(pool.pop().search.ef, 1u);
}

// Fills nearest with every point, ranked from query, as a search would leave it.
Search ranked(const PointSet& set, const Query& query) {
  Search search;
  search.visited = Visited(set.size());
  search.ef = set.size();
  for (PointIndex p = 0; p < set.size(); ++p) search.push(p, query, set);
  return search;
}

TEST(SelectHeuristic, MatchesPlainSelection) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (const std::size_t n : {5u, 40u, 130u}) {
    std::vector<Point> points(n, Point(6));
    for (Point& p : points) {
      for (float& x : p) x = g(rng);
    }
    const PointSet set(points);
    for (const bool keep_pruned : {false, true}) {
      Search search = ranked(set, set.query(0));
      const std::vector<Candidate> expected =
          reference::select(search.nearest, points, keep_pruned);
      const auto chosen =
          search.select_heuristic(set.query(0), Layer::zero({}), set, false, keep_pruned);
      EXPECT_EQ(std::vector<Candidate>(chosen.begin(), chosen.end()), expected) << n;
      if (keep_pruned) {
        EXPECT_EQ(chosen.size(), std::min<std::size_t>(n, kZeroSlots));
      }
    }
  }
}

// Each re-admitted entry names a kept one that ranks before it and is nearer to it
// than the query is; handed back as hints for the same candidates, those names
// leave the selection as it was.
TEST(SelectHeuristic, DiscardersAreTrueAndTheirHintsChangeNothing) {
  std::mt19937 rng(4);
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (const std::size_t n : {40u, 130u}) {
    std::vector<Point> points(n, Point(6));
    for (Point& p : points) {
      for (float& x : p) x = g(rng);
    }
    const PointSet set(points);
    Search search = ranked(set, set.query(0));
    const std::vector<Candidate> candidates = search.nearest;
    const auto chosen = search.select_heuristic(set.query(0), Layer::zero({}), set, false, true);
    const std::vector<Candidate> selection(chosen.begin(), chosen.end());
    const std::size_t kept = search.kept;
    const std::vector<std::uint8_t> dominators = search.dominators;
    ASSERT_EQ(dominators.size(), selection.size());
    ASSERT_LT(kept, selection.size()) << n;
    std::vector<std::uint8_t> hints(candidates.size(), kNoDominator);
    for (std::size_t j = 0; j < selection.size(); ++j) {
      const std::uint8_t by = dominators[j];
      if (j < kept) {
        EXPECT_EQ(by, kNoDominator);
        continue;
      }
      ASSERT_LT(by, kept) << j;
      EXPECT_TRUE(selection[by] < selection[j]) << j;
      EXPECT_TRUE(distance_less(distance(points[selection[by].point], points[selection[j].point]),
                                selection[j].distance))
          << j;
      const auto at = std::find(candidates.begin(), candidates.end(), selection[j]);
      hints[static_cast<std::size_t>(at - candidates.begin())] = by;
    }
    search.nearest = candidates;
    search.dominated_before = hints;
    const auto again = search.select_heuristic(set.query(0), Layer::zero({}), set, false, true);
    EXPECT_EQ(std::vector<Candidate>(again.begin(), again.end()), selection) << n;
    EXPECT_EQ(search.kept, kept);
    EXPECT_EQ(search.dominators, dominators);
  }
}

TEST(SelectHeuristic, EqualDistanceIsKept) {
  // From the query (1, 0): point 0 = (0, 1) at 1.0, point 2 = (0, 2) at 1.0 and
  // point 1 = (-1, -1) at 1 + 1/sqrt2. Point 2 is at 0 from point 0: discarded.
  // Point 1 is exactly as far from point 0 as from the query: kept.
  const std::vector<Point> points = {{0, 1}, {-1, -1}, {0, 2}};
  const PointSet set(points);
  const Point from = {1, 0};
  const Query query = Query::of(from);
  ASSERT_EQ(distance(points[1], points[0]), distance(query.values, points[1]));
  Search search = ranked(set, query);
  const auto chosen = search.select_heuristic(query, Layer::zero({}), set, false, false);
  std::vector<PointIndex> kept;
  for (const Candidate& c : chosen) kept.push_back(c.point);
  EXPECT_EQ(kept, (std::vector<PointIndex>{0, 1}));
  ASSERT_EQ(search.discarded.size(), 1u);
  EXPECT_EQ(search.discarded[0].point, 2u);
}

TEST(SelectHeuristic, AllZeroVectorsKeepTheFirst64InOrder) {
  const std::vector<Point> points(100, Point(4, 0.0f));
  const PointSet set(points);
  Search search = ranked(set, set.query(0));
  const auto chosen = search.select_heuristic(set.query(0), Layer::zero({}), set, false, false);
  ASSERT_EQ(chosen.size(), kZeroSlots);
  for (std::size_t k = 0; k < chosen.size(); ++k) {
    EXPECT_EQ(chosen[k].point, k);
    EXPECT_EQ(chosen[k].distance, 2.0f);
  }
}

}  // namespace
}  // namespace pvdb::index
