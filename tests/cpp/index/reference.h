#pragma once

// A deliberately plain second implementation of search, neighbour selection,
// serial construction and query: scalar distances recomputed every time, one push
// at a time, no batching, no caches. The fast code must match it exactly.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "index/builder.h"
#include "index/candidate.h"
#include "index/layer.h"
#include "index/point.h"

namespace pvdb::index {

// Shared by the index tests.
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Equal bit for bit, except that any NaN matches any NaN.
inline ::testing::AssertionResult same_float(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << " got " << actual;
}

// 0, 1, ..., n - 1.
template <class T = PointIndex>
std::vector<T> counting(std::size_t n) {
  std::vector<T> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<T>(i);
  return values;
}

inline Point gaussian(std::mt19937& rng, std::size_t n, double scale = 1.0) {
  std::normal_distribution<double> g(0.0, scale);
  Point p(n);
  for (float& x : p) x = static_cast<float>(g(rng));
  return p;
}

}  // namespace pvdb::index

namespace pvdb::index::reference {

struct State {
  std::vector<bool> visited;
  std::vector<Candidate> candidates;  // unsorted; the smallest is taken each time
  std::vector<Candidate> nearest;
  std::size_t ef;
};

inline void push(State& s, PointIndex p, std::span<const float> q, const std::vector<Point>& pts) {
  if (s.visited[p]) return;
  s.visited[p] = true;
  const Candidate c{distance(q, pts[p]), p};
  std::size_t pos = 0;
  while (pos < s.nearest.size() && s.nearest[pos] < c) ++pos;
  if (pos >= s.ef) return;
  s.nearest.insert(s.nearest.begin() + static_cast<std::ptrdiff_t>(pos), c);
  s.candidates.push_back(c);
}

// The filled slots of any node.
template <class Node>
std::vector<PointIndex> slots(const Node& node) {
  std::vector<PointIndex> out;
  for (std::size_t k = 0; k < node.slots.size() && node.slots[k] != kEmptySlot; ++k) {
    out.push_back(node.slots[k]);
  }
  return out;
}

template <class Node>
void search(State& s, std::span<const float> q, const std::vector<Node>& layer,
            const std::vector<Point>& pts, std::size_t links) {
  while (!s.candidates.empty()) {
    const auto smallest = std::min_element(s.candidates.begin(), s.candidates.end());
    const Candidate c = *smallest;
    s.candidates.erase(smallest);
    if (!s.nearest.empty() && distance_less(s.nearest.back().distance, c.distance)) return;
    const std::vector<PointIndex> next = slots(layer[c.point]);
    for (std::size_t k = 0; k < next.size() && k < links; ++k) push(s, next[k], q, pts);
    if (s.nearest.size() > s.ef) s.nearest.resize(s.ef);
  }
}

// From point 0 down through the upper layers with ef 1, then layer 0 with ef.
inline std::vector<Candidate> descend(const std::vector<ZeroNode>& zero,
                                      const std::vector<std::vector<UpperNode>>& layers,
                                      std::size_t level, const std::vector<Point>& pts,
                                      std::span<const float> q, std::size_t ef, std::size_t links) {
  State s{std::vector<bool>(pts.size()), {}, {}, 1};
  push(s, 0, q, pts);
  for (std::size_t layer = layers.size(); layer > level; --layer) {
    s.ef = 1;
    search(s, q, layers[layer - 1], pts, links);
    s.candidates = s.nearest;  // cull
    std::fill(s.visited.begin(), s.visited.end(), false);
    for (const Candidate& c : s.nearest) s.visited[c.point] = true;
  }
  s.ef = ef;
  search(s, q, zero, pts, links);
  return s.nearest;
}

inline std::vector<Candidate> select(const std::vector<Candidate>& found,
                                     const std::vector<Point>& pts, bool keep_pruned) {
  std::vector<Candidate> kept;
  std::vector<Candidate> dropped;
  for (const Candidate& c : found) {
    if (kept.size() >= kZeroSlots) break;
    const bool discard = std::any_of(kept.begin(), kept.end(), [&](const Candidate& r) {
      return distance_less(distance(pts[c.point], pts[r.point]), c.distance);
    });
    (discard ? dropped : kept).push_back(c);
  }
  for (std::size_t k = 0; keep_pruned && k < dropped.size() && kept.size() < kZeroSlots; ++k) {
    kept.push_back(dropped[k]);
  }
  return kept;
}

struct Graph {
  std::vector<ZeroNode> zero;
  std::vector<std::vector<UpperNode>> layers;
};

inline void link_back(Graph& g, PointIndex p, const Candidate& found, const std::vector<Point>& pts,
                      const Builder& builder) {
  const PointIndex n = found.point;
  ZeroNode& node = g.zero[n];
  if (!builder.heuristic) {
    std::size_t at = 0;
    while (at < kZeroSlots && node.slots[at] != kEmptySlot &&
           !distance_less(found.distance, distance(pts[n], pts[node.slots[at]]))) {
      ++at;
    }
    node.insert(at, p);
    return;
  }
  State back{std::vector<bool>(pts.size()), {}, {}, builder.ef_construction};
  push(back, p, pts[n], pts);
  for (const PointIndex q : slots(node)) push(back, q, pts[n], pts);
  const std::vector<Candidate> chosen = select(back.nearest, pts, builder.heuristic->keep_pruned);
  node = ZeroNode();
  for (std::size_t j = 0; j < chosen.size(); ++j) node.slots[j] = chosen[j].point;
}

// Inserts every point one after another, in ascending order, as one worker would.
inline Graph build(const std::vector<Point>& pts, const Builder& builder) {
  const std::vector<LayerPlan> plan = layer_plan(pts.size(), builder.ml);
  Graph g{std::vector<ZeroNode>(pts.size()), std::vector<std::vector<UpperNode>>(plan.size() - 1)};
  for (const LayerPlan& step : plan) {
    for (std::size_t i = step.begin; i < step.end; ++i) {
      const auto p = static_cast<PointIndex>(i);
      const std::size_t links = step.layer == 0 ? kZeroSlots : kUpperSlots;
      std::vector<Candidate> found =
          descend(g.zero, g.layers, step.layer, pts, pts[p], builder.ef_construction, links);
      if (builder.heuristic) {
        found = select(found, pts, builder.heuristic->keep_pruned);
      } else if (found.size() > kZeroSlots) {
        found.resize(kZeroSlots);
      }
      for (std::size_t k = 0; k < found.size(); ++k) {
        link_back(g, p, found[k], pts, builder);
        g.zero[p].slots[k] = found[k].point;
      }
    }
    if (step.layer == 0) continue;
    for (std::size_t j = 0; j < step.end; ++j) {
      g.layers[step.layer - 1].push_back(UpperNode::from_zero(g.zero[j]));
    }
  }
  return g;
}

}  // namespace pvdb::index::reference
