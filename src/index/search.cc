#include "index/search.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "index/kernels.h"

namespace pvdb::index {
namespace {

// std heap functions build a max-heap; this order turns it into a min-heap. A
// type rather than a function, so that the heap code inlines the comparison.
struct HeapOrder {
  bool operator()(const Candidate& a, const Candidate& b) const { return b < a; }
};

}  // namespace

void Beam::reset() {
  visited.clear();
  candidates_.clear();
  nearest.clear();
}

void Search::reset() {
  Beam::reset();
  bounded_.nearest.clear();
  bounded_.heap.clear();
}

bool Beam::offer(Candidate c) {
  // Most late candidates rank behind the ef-th entry: one comparison drops them.
  if (nearest.size() >= ef && (ef == 0 || nearest[ef - 1] < c)) return false;
  const auto at = std::lower_bound(nearest.begin(), nearest.end(), c);
  if (static_cast<std::size_t>(at - nearest.begin()) >= ef) return false;
  nearest.insert(at, c);
  candidates_.push_back(c);
  std::push_heap(candidates_.begin(), candidates_.end(), HeapOrder{});
  return true;
}

void Beam::push(PointIndex p, const Query& query, const PointSet& points) {
  if (!visited.insert(p)) return;
  offer({points.distance_to(query, p), p});
}

void Beam::push_scored(Candidate c) {
  if (visited.insert(c.point)) offer(c);
}

// Same effect as pushing each neighbour in turn: a point's distance does not
// depend on the others, so the new ones are scored together, then offered in order.
void Beam::push_all(std::span<const PointIndex> ps, const Query& query, const PointSet& points,
                    const Sketches* sketches, const Layer* expanded) {
  // offer only lowers the ef-th entry, so whatever lies beyond it now is refused
  // then: such points need no exact distance.
  const bool full = ef > 0 && nearest.size() >= ef;
  collect_new(ps, points, sketches, full ? nearest[ef - 1].distance : kNoLimit, nullptr);
  batch_distances_.resize(batch_ids_.size());
  points.distances(query, batch_ids_, batch_distances_.data());
  for (std::size_t k = 0; k < batch_ids_.size(); ++k) {
    if (offer({batch_distances_[k], batch_ids_[k]}) && expanded != nullptr) {
      expanded->prefetch(batch_ids_[k]);
    }
  }
}

void Beam::collect_new(std::span<const PointIndex> ps, const PointSet& points,
                       const Sketches* sketches, float limit, Seen* seen) {
  // Whether a neighbour was seen, or is beyond the limit, is too random to
  // predict: both filters keep a point by advancing the write position, not by
  // a branch.
  batch_ids_.resize(ps.size());
  std::size_t fresh = 0;
  for (const PointIndex p : ps) {
    batch_ids_[fresh] = p;
    fresh += visited.insert(p) ? 1 : 0;
  }
  batch_ids_.resize(fresh);
  // A NaN limit ranks after every number: nothing lies beyond it.
  if (sketches == nullptr || std::isnan(limit)) return;
  batch_lows_.resize(batch_ids_.size());
  sketches->lower_bounds(sketch, batch_ids_, batch_lows_.data());
  std::size_t still = 0;
  for (std::size_t k = 0; k < batch_ids_.size(); ++k) {
    const PointIndex p = batch_ids_[k];
    // The sketch bound stays for a point ruled out; one kept is given tighter
    // bounds once it is scored.
    if (seen != nullptr) seen[p] = {batch_lows_[k], std::numeric_limits<float>::infinity()};
    batch_ids_[still] = p;
    still += batch_lows_[k] > limit ? 0 : 1;
  }
  batch_ids_.resize(still);
  points.prefetch(batch_ids_);
}

void Beam::search(const Query& query, const Layer& layer, const PointSet& points, std::size_t links,
                  const Sketches* sketches) {
  std::array<PointIndex, kZeroSlots> neighbours;
  while (!candidates_.empty()) {
    std::pop_heap(candidates_.begin(), candidates_.end(), HeapOrder{});
    const Candidate c = candidates_.back();
    candidates_.pop_back();
    if (!nearest.empty() && distance_less(nearest.back().distance, c.distance)) return;
    push_all(layer.neighbours(c.point, links, neighbours.data()), query, points, sketches, &layer);
    if (nearest.size() > ef) nearest.resize(ef);
  }
}

void Beam::cull() {
  candidates_.clear();
  for (const Candidate& c : nearest) {
    candidates_.push_back(c);
    std::push_heap(candidates_.begin(), candidates_.end(), HeapOrder{});
  }
  visited.clear();
  for (const Candidate& c : nearest) visited.insert(c.point);
}

void Search::extend(const Candidate& c, const Query& query, const Layer& layer,
                    const PointSet& points) {
  std::array<PointIndex, kZeroSlots> neighbours;
  const std::size_t count = layer.nearest_iter(c.point, kZeroSlots, neighbours.data());
  batch_ids_.clear();
  for (std::size_t k = 0; k < count; ++k) {
    if (visited.insert(neighbours[k])) batch_ids_.push_back(neighbours[k]);
  }
  batch_distances_.resize(batch_ids_.size());
  points.distances(query, batch_ids_, batch_distances_.data());
  for (std::size_t k = 0; k < batch_ids_.size(); ++k) {
    selection_.working.push_back({batch_distances_[k], batch_ids_[k]});
  }
}

// Once a candidate is kept, every later candidate that it is strictly nearer to
// than the query is, is bound to be discarded: mark them all now, scoring the kept
// one against every later candidate not yet marked in one batch. A candidate's
// turn then only reads its mark, which equals comparing it with every kept
// neighbour in turn. Two candidates an earlier selection kept together never
// discard one another, so a settled kept one skips the settled candidates.
void Search::mark_dominated(std::size_t chosen, const PointSet& points) {
  SelectionState& s = selection_;
  const int lists = s.settled[chosen] ? 1 : 2;
  batch_ids_.clear();
  for (int k = 0; k < lists; ++k) {
    for (std::size_t i = s.open_head[k]; i < s.open[k].size(); ++i) {
      batch_ids_.push_back(s.working[s.open[k][i]].point);
    }
  }
  batch_distances_.resize(batch_ids_.size());
  batch_highs_.resize(batch_ids_.size());
  const Query query = points.query(s.working[chosen].point);
  points.distance_bounds(query, batch_ids_, batch_distances_.data(), batch_highs_.data());
  std::size_t next = 0;
  for (int k = 0; k < lists; ++k) {
    std::vector<std::uint32_t>& open = s.open[k];
    std::size_t still = s.open_head[k];
    for (std::size_t i = s.open_head[k]; i < open.size(); ++i, ++next) {
      const std::uint32_t w = open[i];
      if (points.nearer(query, batch_ids_[next], batch_distances_[next], batch_highs_[next],
                        s.working[w].distance)) {
        s.dominator_of[w] = static_cast<std::uint8_t>(nearest.size() - 1);
      } else {
        open[still++] = w;
      }
    }
    open.resize(still);
  }
}

Selection Search::select_heuristic(const Query& query, const Layer& layer, const PointSet& points,
                                   bool extend_candidates, bool keep_pruned,
                                   SelectionHints* hints) {
  SelectionState& s = selection_;
  std::vector<Candidate>& working = s.working;
  working.clear();
  for (std::size_t k = 0; k < nearest.size(); ++k) {
    const Candidate c = nearest[k];
    working.push_back(c);
    if (extend_candidates) extend(c, query, layer, points);
  }
  if (extend_candidates && working.size() > 1) std::sort(working.begin(), working.end());
  // The hints are taken by swapping, which hands the old scratch back for the next ones.
  if (hints != nullptr) {
    s.settled.swap(hints->kept_before);
    hints->kept_before.clear();
    s.dominator_of.swap(hints->dominated_before);
    hints->dominated_before.clear();
  }
  const bool fresh = hints == nullptr || extend_candidates;
  if (fresh || s.settled.size() != working.size()) s.settled.assign(working.size(), 0);
  // A candidate is marked to be discarded by naming the kept one that discards it;
  // the hints start those known already marked.
  if (fresh || s.dominator_of.size() != working.size()) {
    s.dominator_of.assign(working.size(), kNoDominator);
  }
  nearest.clear();
  s.discarded.clear();
  s.discarded_by.clear();
  // Candidates not yet decided and not yet marked, ascending: [0] unsettled, [1] settled.
  // One known to be discarded starts marked, so no kept one is scored against it.
  for (int k = 0; k < 2; ++k) {
    s.open[k].clear();
    s.open_head[k] = 0;
  }
  for (std::size_t w = 0; w < working.size(); ++w) {
    if (s.dominator_of[w] == kNoDominator) {
      s.open[s.settled[w]].push_back(static_cast<std::uint32_t>(w));
    }
  }
  for (std::size_t w = 0; w < working.size() && nearest.size() < kZeroSlots; ++w) {
    if (s.dominator_of[w] != kNoDominator) {
      s.discarded.push_back(working[w]);
      s.discarded_by.push_back(s.dominator_of[w]);
      continue;
    }
    ++s.open_head[s.settled[w]];  // w is decided now, and it was first in its list
    nearest.push_back(working[w]);
    if (nearest.size() < kZeroSlots) mark_dominated(w, points);
  }
  working.clear();
  const std::size_t kept = nearest.size();
  s.dominators.assign(kept, kNoDominator);
  if (keep_pruned) {
    for (std::size_t k = 0; k < s.discarded.size() && nearest.size() < kZeroSlots; ++k) {
      nearest.push_back(s.discarded[k]);
      s.dominators.push_back(s.discarded_by[k]);
    }
    s.discarded.clear();
  }
  return {nearest, kept, s.dominators};
}

}  // namespace pvdb::index
