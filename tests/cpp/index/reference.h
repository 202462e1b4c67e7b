#pragma once

// A deliberately plain second implementation of the graph's search, neighbour
// selection and serial construction: scalar distances recomputed every time, one
// push at a time, no batching, no caches. The fast code must match it exactly.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "index/builder.h"
#include "index/candidate.h"
#include "index/layer.h"
#include "index/point.h"

namespace pvdb::index::reference {

using Slots = std::function<std::vector<PointIndex>(PointIndex)>;

struct State {
  std::vector<bool> visited;
  std::vector<Candidate> candidates;  // unsorted; the smallest is taken each time
  std::vector<Candidate> nearest;
  std::size_t ef = 1;
};

inline void push(State& s, PointIndex p, std::span<const float> query,
                 const std::vector<Point>& points) {
  if (s.visited[p]) return;
  s.visited[p] = true;
  const Candidate c{distance(query, points[p]), p};
  std::size_t pos = 0;
  while (pos < s.nearest.size() && s.nearest[pos] < c) ++pos;
  if (pos >= s.ef) return;
  s.nearest.insert(s.nearest.begin() + static_cast<std::ptrdiff_t>(pos), c);
  s.candidates.push_back(c);
}

inline void search(State& s, std::span<const float> query, const Slots& slots,
                   const std::vector<Point>& points, std::size_t links) {
  while (!s.candidates.empty()) {
    const auto smallest = std::min_element(s.candidates.begin(), s.candidates.end());
    const Candidate c = *smallest;
    s.candidates.erase(smallest);
    if (!s.nearest.empty() && distance_less(s.nearest.back().distance, c.distance)) return;
    const std::vector<PointIndex> next = slots(c.point);
    for (std::size_t k = 0; k < next.size() && k < links; ++k) push(s, next[k], query, points);
    if (s.nearest.size() > s.ef) s.nearest.resize(s.ef);
  }
}

inline void cull(State& s) {
  s.candidates = s.nearest;
  std::fill(s.visited.begin(), s.visited.end(), false);
  for (const Candidate& c : s.nearest) s.visited[c.point] = true;
}

// Neighbour selection without candidate extension.
inline std::vector<Candidate> select(const std::vector<Candidate>& found,
                                     const std::vector<Point>& points, bool keep_pruned) {
  std::vector<Candidate> kept;
  std::vector<Candidate> dropped;
  for (const Candidate& c : found) {
    if (kept.size() >= kZeroSlots) break;
    bool discard = false;
    for (const Candidate& r : kept) {
      if (distance_less(distance(points[c.point], points[r.point]), c.distance)) {
        discard = true;
        break;
      }
    }
    (discard ? dropped : kept).push_back(c);
  }
  for (std::size_t k = 0; keep_pruned && k < dropped.size() && kept.size() < kZeroSlots; ++k) {
    kept.push_back(dropped[k]);
  }
  return kept;
}

inline std::vector<PointIndex> zero_slots(const std::vector<ZeroNode>& zero, PointIndex p) {
  std::vector<PointIndex> out;
  for (const PointIndex q : zero[p].slots) {
    if (q == kEmptySlot) break;
    out.push_back(q);
  }
  return out;
}

inline std::vector<PointIndex> upper_slots(const std::vector<UpperNode>& layer, PointIndex p) {
  std::vector<PointIndex> out;
  for (const PointIndex q : layer[p].slots) {
    if (q == kEmptySlot) break;
    out.push_back(q);
  }
  return out;
}

struct Graph {
  std::vector<ZeroNode> zero;
  std::vector<std::vector<UpperNode>> layers;
};

// Inserts every point one after another, in ascending order, as one worker would.
inline Graph build(const std::vector<Point>& points, const Builder& builder) {
  const std::vector<LayerPlan> plan = layer_plan(points.size(), builder.ml);
  const std::size_t top = plan.size() - 1;
  Graph g{std::vector<ZeroNode>(points.size()), std::vector<std::vector<UpperNode>>(top)};
  for (const LayerPlan& step : plan) {
    for (std::size_t i = step.begin; i < step.end; ++i) {
      const auto p = static_cast<PointIndex>(i);
      State s{std::vector<bool>(points.size()), {}, {}, 1};
      push(s, 0, points[p], points);
      const std::size_t links = step.layer == 0 ? kZeroSlots : kUpperSlots;
      for (std::size_t layer = top; layer > step.layer; --layer) {
        s.ef = 1;
        search(
            s, points[p], [&](PointIndex q) { return upper_slots(g.layers[layer - 1], q); }, points,
            links);
        cull(s);
      }
      s.ef = builder.ef_construction;
      search(
          s, points[p], [&](PointIndex q) { return zero_slots(g.zero, q); }, points, links);
      std::vector<Candidate> found = s.nearest;
      if (builder.heuristic) {
        found = select(found, points, builder.heuristic->keep_pruned);
      } else if (found.size() > kZeroSlots) {
        found.resize(kZeroSlots);
      }
      for (std::size_t k = 0; k < found.size(); ++k) {
        const PointIndex n = found[k].point;
        if (builder.heuristic) {
          State back{std::vector<bool>(points.size()), {}, {}, builder.ef_construction};
          push(back, p, points[n], points);
          for (const PointIndex q : zero_slots(g.zero, n)) push(back, q, points[n], points);
          const std::vector<Candidate> chosen =
              select(back.nearest, points, builder.heuristic->keep_pruned);
          ZeroNode node;
          for (std::size_t j = 0; j < chosen.size(); ++j) node.slots[j] = chosen[j].point;
          g.zero[n] = node;
        } else {
          std::size_t at = 0;
          while (
              at < kZeroSlots && g.zero[n].slots[at] != kEmptySlot &&
              !distance_less(found[k].distance, distance(points[n], points[g.zero[n].slots[at]]))) {
            ++at;
          }
          g.zero[n].insert(at, p);
        }
        g.zero[p].slots[k] = n;
      }
    }
    if (step.layer == 0) continue;
    for (std::size_t j = 0; j < step.end; ++j) {
      g.layers[step.layer - 1].push_back(UpperNode::from_zero(g.zero[j]));
    }
  }
  return g;
}

// A query from point 0 down through the layers, as the graph answers it.
inline std::vector<Candidate> query(const Graph& g, const std::vector<Point>& points,
                                    std::span<const float> q, std::size_t ef_search) {
  if (points.empty()) return {};
  State s{std::vector<bool>(points.size()), {}, {}, 1};
  push(s, 0, q, points);
  for (std::size_t layer = g.layers.size(); layer >= 1; --layer) {
    s.ef = 1;
    search(
        s, q, [&](PointIndex p) { return upper_slots(g.layers[layer - 1], p); }, points,
        kUpperSlots);
    cull(s);
  }
  s.ef = ef_search;
  search(
      s, q, [&](PointIndex p) { return zero_slots(g.zero, p); }, points, kZeroSlots);
  return s.nearest;
}

}  // namespace pvdb::index::reference
