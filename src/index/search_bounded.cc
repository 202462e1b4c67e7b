#include <algorithm>
#include <array>
#include <utility>

#include "index/search.h"

namespace pvdb::index {

// Compares bounded candidates, narrowing a candidate to its exact distance in
// place when the bounds alone cannot tell. Narrowing keeps every comparison made
// before true, so heap and sorted list stay ordered.
struct Search::Ranking {
  const Query& query;
  const PointSet& points;

  void resolve(Bounded& c) const {
    if (c.exact()) return;
    c.lo = c.hi = points.distance_to(query, c.point);
  }

  // a before b in candidate order.
  bool less(Bounded& a, Bounded& b) const {
    if (a.hi < b.lo) return true;
    if (b.hi < a.lo) return false;
    resolve(a);
    resolve(b);
    return Candidate{a.lo, a.point} < Candidate{b.lo, b.point};
  }

  // c's distance greater than last's, in the float order alone.
  bool farther(Bounded& c, Bounded& last) const {
    if (last.hi < c.lo) return true;
    if (c.hi <= last.lo) return false;
    resolve(c);
    resolve(last);
    return distance_less(last.lo, c.lo);
  }

  void heap_push(std::vector<Bounded>& heap, Bounded c) const {
    std::size_t at = heap.size();
    heap.push_back(c);
    while (at > 0) {
      const std::size_t parent = (at - 1) / 2;
      if (!less(heap[at], heap[parent])) break;
      std::swap(heap[at], heap[parent]);
      at = parent;
    }
  }

  Bounded heap_pop(std::vector<Bounded>& heap) const {
    const Bounded top = heap.front();
    heap.front() = heap.back();
    heap.pop_back();
    std::size_t at = 0;
    const std::size_t size = heap.size();
    while (true) {
      const std::size_t left = 2 * at + 1;
      if (left >= size) break;
      std::size_t child = left;
      if (left + 1 < size && less(heap[left + 1], heap[left])) child = left + 1;
      if (!less(heap[child], heap[at])) break;
      std::swap(heap[at], heap[child]);
      at = child;
    }
    return top;
  }
};

bool Search::offer_bounded(Bounded c, Ranking& ranking) {
  std::vector<Bounded>& near = bounded_.nearest;
  if (near.size() >= ef && (ef == 0 || ranking.less(near[ef - 1], c))) return false;
  std::size_t low = 0;
  std::size_t high = near.size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (ranking.less(near[mid], c)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low >= ef) return false;
  near.insert(near.begin() + static_cast<std::ptrdiff_t>(low), c);
  ranking.heap_push(bounded_.heap, c);
  return true;
}

void Search::push_bounded(PointIndex p, const Query& query, const PointSet& points) {
  std::vector<Seen>& seen = bounded_.seen;
  if (seen.size() != points.size()) seen.assign(points.size(), Seen{0.0f, 0.0f});
  if (!visited.insert(p)) return;
  Ranking ranking{query, points};
  Bounded c{0.0f, 0.0f, p};
  points.distance_bounds(query, {&p, 1}, &c.lo, &c.hi);
  seen[p] = {c.lo, c.hi};
  (void)offer_bounded(c, ranking);
}

void Search::search_bounded(const Query& query, const Layer& layer, const PointSet& points,
                            std::size_t links, const Sketches* sketches) {
  Ranking ranking{query, points};
  std::vector<Bounded>& near = bounded_.nearest;
  std::vector<Bounded>& heap = bounded_.heap;
  std::array<PointIndex, kZeroSlots> neighbours;
  while (!heap.empty()) {
    Bounded c = ranking.heap_pop(heap);
    if (!near.empty() && ranking.farther(c, near.back())) return;
    // As in push_all: the ef-th entry's exact distance only falls, and its upper
    // bound lies above it, so points whose distance lies beyond now are refused then.
    const bool full = ef > 0 && near.size() >= ef;
    collect_new(layer.neighbours(c.point, links, neighbours.data()), points, sketches,
                full ? near[ef - 1].hi : kNoLimit,
                bounded_.seen.empty() ? nullptr : bounded_.seen.data());
    batch_distances_.resize(batch_ids_.size());
    batch_highs_.resize(batch_ids_.size());
    points.distance_bounds(query, batch_ids_, batch_distances_.data(), batch_highs_.data());
    for (std::size_t k = 0; k < batch_ids_.size(); ++k) {
      bounded_.seen[batch_ids_[k]] = {batch_distances_[k], batch_highs_[k]};
      if (offer_bounded({batch_distances_[k], batch_highs_[k], batch_ids_[k]}, ranking)) {
        layer.prefetch(batch_ids_[k]);
      }
    }
    if (near.size() > ef) near.resize(ef);
  }
}

void Search::cull_bounded() {
  // Entries of nearest are distinct and already in order, so they make a heap as
  // they stand: each one ranks after its parent.
  bounded_.heap.assign(bounded_.nearest.begin(), bounded_.nearest.end());
  visited.clear();
  for (const Bounded& c : bounded_.nearest) visited.insert(c.point);
}

std::span<const Candidate> Search::settle(const Query& query, const PointSet& points) {
  batch_ids_.clear();
  for (const Bounded& c : bounded_.nearest) {
    if (!c.exact()) batch_ids_.push_back(c.point);
  }
  batch_distances_.resize(batch_ids_.size());
  points.distances(query, batch_ids_, batch_distances_.data());
  nearest.clear();
  std::size_t next = 0;
  for (const Bounded& c : bounded_.nearest) {
    nearest.push_back({c.exact() ? c.lo : batch_distances_[next++], c.point});
  }
  return nearest;
}

}  // namespace pvdb::index
