#include "index/builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "index/layer.h"
#include "reference.h"

namespace pvdb::index {
namespace {

TEST(LayerPlan, ShapesByPointCount) {
  struct Case {
    std::size_t n;
    std::vector<LayerPlan> plan;
  };
  const std::vector<Case> cases = {
      {1, {{0, 1, 1}}},
      {110, {{0, 1, 110}}},
      {111, {{1, 1, 32}, {0, 32, 111}}},
      {385, {{2, 1, 32}, {1, 32, 111}, {0, 111, 385}}},
      {1000, {{2, 1, 83}, {1, 83, 288}, {0, 288, 1000}}},
      {10000, {{4, 1, 69}, {3, 69, 240}, {2, 240, 832}, {1, 832, 2885}, {0, 2885, 10000}}},
  };
  for (const Case& c : cases) {
    const std::vector<LayerPlan> plan = layer_plan(c.n, kDefaultMl);
    ASSERT_EQ(plan.size(), c.plan.size()) << c.n;
    for (std::size_t t = 0; t < plan.size(); ++t) {
      EXPECT_EQ(plan[t].layer, c.plan[t].layer) << c.n;
      EXPECT_EQ(plan[t].begin, c.plan[t].begin) << c.n;
      EXPECT_EQ(plan[t].end, c.plan[t].end) << c.n;
    }
  }
  // The smallest point counts with one more layer each.
  const std::size_t smallest[] = {111, 385, 1335, 4627, 16036, 55577, 192616};
  for (std::size_t k = 0; k < std::size(smallest); ++k) {
    EXPECT_EQ(layer_plan(smallest[k] - 1, kDefaultMl).size(), k + 1) << smallest[k];
    EXPECT_EQ(layer_plan(smallest[k], kDefaultMl).size(), k + 2) << smallest[k];
  }
}

TEST(Builder, DefaultsAndFreshSeeds) {
  const Builder a;
  const Builder b;
  EXPECT_EQ(a.ef_search, 100u);
  EXPECT_EQ(a.ef_construction, 100u);
  ASSERT_TRUE(a.heuristic.has_value());
  EXPECT_FALSE(a.heuristic->extend_candidates);
  EXPECT_TRUE(a.heuristic->keep_pruned);
  EXPECT_NE(a.seed, b.seed);  // two equal 64-bit draws: about 2^-64
}

// The build-order generator written out a second way: PCG32 words as bytes, the
// bytes read back as state words, Xoshiro256++ stepped by hand.
class SecondRng {
 public:
  explicit SecondRng(std::uint64_t seed) {
    unsigned char bytes[32];
    std::uint64_t s = seed;
    for (int w = 0; w < 8; ++w) {
      s = s * 6364136223846793005ull + 11634580027462260723ull;
      const std::uint32_t x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
      const unsigned r = static_cast<unsigned>(s >> 59);
      const std::uint32_t word = r == 0 ? x : (x >> r) | (x << (32 - r));
      for (int b = 0; b < 4; ++b) bytes[4 * w + b] = static_cast<unsigned char>(word >> (8 * b));
    }
    for (int k = 0; k < 4; ++k) {
      state_[k] = 0;
      for (int b = 7; b >= 0; --b) state_[k] = (state_[k] << 8) | bytes[8 * k + b];
    }
  }
  std::uint64_t next() {
    auto rotl = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
    const std::uint64_t out = rotl(state_[0] + state_[3], 23) + state_[0];
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return out;
  }
  std::uint32_t key(std::uint32_t n) {
    int z = 0;
    while (z < 32 && !(n & (0x80000000u >> z))) ++z;
    const std::uint32_t zone = static_cast<std::uint32_t>((std::uint64_t{n} << z) - 1);
    for (;;) {
      const std::uint64_t m = (next() >> 32) * n;
      if ((m & 0xFFFFFFFFu) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
  }

 private:
  std::uint64_t state_[4];
};

// The generator's words and keys match the second implementation; the build order
// sorts the points by their keys, ties in input order.
TEST(BuildOrder, SortsByKeyThenInputPosition) {
  for (const std::uint64_t seed : {0ull, 3ull, 42ull, 0xDEADBEEFCAFEF00Dull, ~0ull}) {
    BuildOrderRng rng(seed);
    SecondRng second(seed);
    for (int k = 0; k < 16; ++k) ASSERT_EQ(rng.next_u64(), second.next()) << seed;
    for (const std::uint32_t n : {1u, 3u, 7u, 100u, 0x80000001u, 0xFFFFFFFEu}) {
      for (int k = 0; k < 8; ++k) ASSERT_EQ(rng.below(n), second.key(n)) << seed << " " << n;
    }
    for (const std::size_t n : {1u, 2u, 5u, 33u, 500u}) {
      SecondRng keys(seed);
      std::vector<std::pair<std::uint32_t, std::size_t>> keyed;
      for (std::size_t i = 0; i < n; ++i) {
        keyed.emplace_back(keys.key(static_cast<std::uint32_t>(n)), i);
      }
      std::stable_sort(keyed.begin(), keyed.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      const std::vector<PointIndex> order = build_order(n, seed);
      ASSERT_EQ(order.size(), n);
      for (std::size_t j = 0; j < n; ++j) EXPECT_EQ(order[j], keyed[j].second) << n;
    }
  }
  EXPECT_NE(build_order(50, 1), build_order(50, 2));
}

TEST(CheckPointCountDeathTest, TooManyPointsEndTheProcess) {
  check_point_count(0xFFFFFFFEull);
  EXPECT_DEATH(check_point_count(0xFFFFFFFFull), "check failed");
  EXPECT_DEATH(check_point_count(0x100000000ull), "check failed");
}

TEST(ZeroNode, InsertShiftsAndDropsTheLastAndUpperNodesCopyTheFirstSlots) {
  ZeroNode node;
  node.insert(0, 10);
  node.insert(1, 12);
  node.insert(1, 11);
  node.insert(0, 9);
  EXPECT_EQ(reference::slots(node), (std::vector<PointIndex>{9, 10, 11, 12}));
  node.insert(64, 99);  // past the last slot: nothing
  node.insert(1000, 99);
  EXPECT_EQ(reference::slots(node).size(), 4u);

  ZeroNode full;
  for (PointIndex p = 0; p < kZeroSlots; ++p) full.insert(p, p);
  full.insert(63, 500);  // replaces the last entry
  EXPECT_EQ(full.slots[62], 62u);
  EXPECT_EQ(full.slots[63], 500u);
  full.insert(0, 600);  // shifts everything up; 500 falls off
  EXPECT_EQ(full.slots[0], 600u);
  EXPECT_EQ(full.slots[1], 0u);
  EXPECT_EQ(full.slots[63], 62u);
  // An upper node copies the first 32 slots, empty ones included.
  for (PointIndex p = 0; p < 40; ++p) full.slots[p] = 100 + p;
  const UpperNode upper = UpperNode::from_zero(full);
  for (std::size_t k = 0; k < kUpperSlots; ++k) EXPECT_EQ(upper.slots[k], 100 + k);
  EXPECT_EQ(UpperNode::from_zero(node).slots[4], kEmptySlot);
}

}  // namespace
}  // namespace pvdb::index
