#include "index/construction.h"

#include <algorithm>
#include <array>

#include "index/check.h"

namespace pvdb::index {

Construction::Construction(const PointSet& points, std::size_t top, std::size_t ef_construction,
                           std::optional<Heuristic> heuristic)
    : points_(points),
      zero_(points.size()),
      locks_(std::make_unique<RwLock[]>(points.size())),
      pool_(points.size()),
      top_(top),
      ef_construction_(ef_construction),
      heuristic_(heuristic) {}

Layer Construction::locked_zero(PointIndex owned) const {
  return Layer::locked(zero_, locks_.get(), owned);
}

void Construction::insert(PointIndex new_point, std::size_t level,
                          std::span<const std::vector<UpperNode>> upper_layers) {
  PVDB_CHECK(new_point != 0 && new_point < zero_.size());
  ExclusiveGuard own(locks_[new_point]);
  SearchPair pair = pool_.pop();
  pair.insertion.ef = ef_construction_;
  Search& search = pair.search;
  const Query query = points_.query(new_point);
  search.reset();
  search.push(0, query, points_);

  const std::size_t links = level == 0 ? kZeroSlots : kUpperSlots;
  for (std::size_t layer = top_; layer > level; --layer) {
    PVDB_CHECK(layer - 1 < upper_layers.size());
    search.ef = 1;
    search.search(query, Layer::upper(upper_layers[layer - 1]), points_, links);
    search.cull();
  }
  search.ef = ef_construction_;
  const Layer zero = locked_zero(new_point);
  search.search(query, zero, points_, links);

  std::span<const Candidate> found;
  if (heuristic_) {
    found = search.select_heuristic(query, zero, points_, heuristic_->extend_candidates,
                                    heuristic_->keep_pruned);
  } else {
    found = std::span<const Candidate>(search.nearest)
                .first(std::min(kZeroSlots, search.nearest.size()));
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    link_back(new_point, found[i].point, found[i].distance, pair.insertion);
    zero_[new_point].slots[i] = found[i].point;
  }
  pool_.push(std::move(pair));
}

void Construction::link_back(PointIndex new_point, PointIndex neighbour, float distance,
                             Search& insertion) {
  if (heuristic_) {
    link_back_heuristic(new_point, neighbour, insertion);
  } else {
    link_back_sorted(new_point, neighbour, distance);
  }
}

// Re-selects the neighbour's list among its current entries and the new point.
void Construction::link_back_heuristic(PointIndex new_point, PointIndex neighbour,
                                       Search& insertion) {
  const Query from = points_.query(neighbour);
  const Layer zero = locked_zero(new_point);
  // The new point first, then the neighbour's list in slot order.
  std::array<PointIndex, kZeroSlots + 1> pushed;
  pushed[0] = new_point;
  const std::size_t count = zero.nearest_iter(neighbour, kZeroSlots, pushed.data() + 1);
  insertion.reset();
  insertion.push_all({pushed.data(), count + 1}, from, points_);
  const std::span<const Candidate> selection = insertion.select_heuristic(
      from, zero, points_, heuristic_->extend_candidates, heuristic_->keep_pruned);
  replace_list(neighbour, selection);
}

void Construction::replace_list(PointIndex node, std::span<const Candidate> selection) {
  ExclusiveGuard guard(locks_[node]);
  std::array<PointIndex, kZeroSlots>& slots = zero_[node].slots;
  for (std::size_t k = 0; k < kZeroSlots; ++k) {
    if (k < selection.size()) {
      slots[k] = selection[k].point;
    } else if (slots[k] == kEmptySlot) {
      break;
    } else {
      slots[k] = kEmptySlot;
    }
  }
}

// Inserts the new point at its place in the neighbour's list, kept in ascending
// distance from the neighbour; an entry at the same distance stays before it.
void Construction::link_back_sorted(PointIndex new_point, PointIndex neighbour, float distance) {
  const Query from = points_.query(neighbour);
  std::size_t index = 0;
  {
    SharedGuard guard(locks_[neighbour]);
    const std::array<PointIndex, kZeroSlots>& slots = zero_[neighbour].slots;
    std::size_t low = 0;
    std::size_t high = kZeroSlots;
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      const bool farther = slots[mid] == kEmptySlot ||
                           distance_less(distance, points_.distance_to(from, slots[mid]));
      if (farther) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    index = low;
  }
  ExclusiveGuard guard(locks_[neighbour]);
  zero_[neighbour].insert(index, new_point);
}

UpperNode Construction::freeze(PointIndex p) {
  PVDB_CHECK(p < zero_.size());
  SharedGuard guard(locks_[p]);
  return UpperNode::from_zero(zero_[p]);
}

}  // namespace pvdb::index
