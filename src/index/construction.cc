#include "index/construction.h"

#include <algorithm>
#include <array>

#include "base/check.h"

namespace pvdb::index {

Construction::Construction(const PointSet& points, const Sketches* sketches, std::size_t top,
                           std::size_t ef_construction, std::optional<Heuristic> heuristic)
    : points_(points),
      sketches_(sketches),
      zero_(points.size()),
      memos_(points.size()),
      kept_counts_(points.size(), 0),
      locks_(std::make_unique<base::RwLock[]>(points.size())),
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
  base::ExclusiveGuard own(locks_[new_point]);
  SearchPair pair = pool_.pop();
  pair.insertion.ef = ef_construction_;
  Search& search = pair.search;
  const Query query = points_.query(new_point);
  search.reset();
  if (sketches_ != nullptr) search.sketch.assign(query);
  search.push_bounded(0, query, points_);

  const std::size_t links = level == 0 ? kZeroSlots : kUpperSlots;
  for (std::size_t layer = top_; layer > level; --layer) {
    PVDB_CHECK(layer - 1 < upper_layers.size());
    search.ef = 1;
    search.search_bounded(query, Layer::upper(upper_layers[layer - 1]), points_, links, sketches_);
    search.cull_bounded();
  }
  search.ef = ef_construction_;
  const Layer zero = locked_zero(new_point);
  search.search_bounded(query, zero, points_, links, sketches_);
  search.settle(query, points_);

  Selection found;
  if (heuristic_) {
    found = search.select_heuristic(query, zero, points_, heuristic_->extend_candidates,
                                    heuristic_->keep_pruned);
  } else {
    found.entries = std::span<const Candidate>(search.nearest)
                        .first(std::min(kZeroSlots, search.nearest.size()));
  }
  // Each link-back waits on its neighbour's list unless it was asked for early;
  // two ahead covers the latency, as a link-back mostly takes its shortcut.
  constexpr std::size_t kAhead = 2;
  const std::span<const Candidate> entries = found.entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + kAhead < entries.size()) prefetch_list(entries[i + kAhead].point);
    link_back(new_point, entries[i].point, entries[i].distance, search, pair);
    zero_[new_point].slots[i] = entries[i].point;
    memos_[new_point].distances[i] = entries[i].distance;
    if (heuristic_) memos_[new_point].dominators[i] = found.dominators[i];
  }
  kept_counts_[new_point] = static_cast<std::uint8_t>(found.kept);
  pool_.push(std::move(pair));
}

void Construction::link_back(PointIndex new_point, PointIndex neighbour, float distance,
                             const Search& found, SearchPair& pair) {
  if (heuristic_) {
    link_back_heuristic(new_point, neighbour, distance, found, pair);
  } else {
    link_back_sorted(new_point, neighbour, distance);
  }
}

// Ranks first and then the entries into nearest, as pushing them in that order
// would when none is dropped. A list holds two ascending runs, the entries its
// last selection kept and then the re-admitted ones, so one merge sorts it; the
// kept ones are marked in the hints for the next selection, which need not compare
// them again.
void Construction::rank_all(Search& insertion, SelectionHints& next, Candidate first,
                            std::span<const Candidate> entries, std::size_t kept,
                            const std::uint8_t* dominators) {
  std::vector<Candidate>& nearest = insertion.nearest;
  std::vector<std::uint8_t>& marks = next.kept_before;
  std::vector<std::uint8_t>& hints = next.dominated_before;
  const auto kept_end = entries.begin() + static_cast<std::ptrdiff_t>(kept);
  nearest.clear();
  marks.clear();
  hints.clear();
  if (std::is_sorted(entries.begin(), kept_end) && std::is_sorted(kept_end, entries.end())) {
    auto a = entries.begin();
    auto b = kept_end;
    while (a != kept_end || b != entries.end()) {
      const bool take_kept = b == entries.end() || (a != kept_end && *a < *b);
      hints.push_back(take_kept ? kNoDominator : dominators[b - entries.begin()]);
      nearest.push_back(take_kept ? *a++ : *b++);
      marks.push_back(take_kept ? 1 : 0);
    }
  } else {
    nearest.assign(entries.begin(), entries.end());
    std::sort(nearest.begin(), nearest.end());
    marks.assign(nearest.size(), 0);
    hints.assign(nearest.size(), kNoDominator);
  }
  const auto at = std::lower_bound(nearest.begin(), nearest.end(), first);
  const std::size_t place = static_cast<std::size_t>(at - nearest.begin());
  marks.insert(marks.begin() + static_cast<std::ptrdiff_t>(place), 0);
  hints.insert(hints.begin() + static_cast<std::ptrdiff_t>(place), kNoDominator);
  nearest.insert(at, first);
  // The decisions before the first one's turn are the last selection's, so an entry
  // discarded by a kept one ranked before it is discarded again; the kept ones after
  // it may not stay kept.
  const auto before = static_cast<std::size_t>(
      std::count(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(place), 1));
  for (std::uint8_t& hint : hints) {
    if (hint >= before) hint = kNoDominator;
  }
  insertion.visited.insert(first.point);
  for (const Candidate& c : entries) insertion.visited.insert(c.point);
}

// The node's list with each entry's distance from the node's point.
std::size_t Construction::read_list(PointIndex node, Candidate* out, std::size_t* kept,
                                    std::uint8_t* dominators) {
  base::SharedGuard guard(locks_[node]);
  *kept = kept_counts_[node];
  const std::array<PointIndex, kZeroSlots>& slots = zero_[node].slots;
  const ListMemo& memo = memos_[node];
  std::size_t count = 0;
  while (count < kZeroSlots && slots[count] != kEmptySlot) {
    out[count] = {memo.distances[count], slots[count]};
    ++count;
  }
  std::copy(memo.dominators.begin(), memo.dominators.begin() + count, dominators);
  return count;
}

void Construction::prefetch_list(PointIndex node) const {
  const auto* slots = reinterpret_cast<const char*>(&zero_[node]);
  const auto* memo = reinterpret_cast<const char*>(&memos_[node]);
  for (std::size_t at = 0; at < sizeof(ZeroNode); at += 64) __builtin_prefetch(slots + at);
  for (std::size_t at = 0; at < sizeof(ListMemo); at += 64) __builtin_prefetch(memo + at);
  __builtin_prefetch(&kept_counts_[node]);
  __builtin_prefetch(&locks_[node], 1);
}

// Re-selects the neighbour's list among its current entries and the new point,
// which goes first; distance is the new point's from the neighbour's.
void Construction::link_back_heuristic(PointIndex new_point, PointIndex neighbour, float distance,
                                       const Search& found, SearchPair& pair) {
  std::array<Candidate, kZeroSlots> entries;
  std::array<std::uint8_t, kZeroSlots> dominators;
  std::size_t kept = 0;
  const std::size_t count = read_list(neighbour, entries.data(), &kept, dominators.data());
  // Only when every entry and the new point take part in the selection.
  if (count < ef_construction_ && !heuristic_->extend_candidates && heuristic_->keep_pruned &&
      link_back_shortcut(new_point, neighbour, distance, {entries.data(), count}, kept,
                         dominators.data(), found)) {
    return;
  }
  Search& insertion = pair.insertion;
  insertion.reset();
  SelectionHints* hints = nullptr;
  if (count < insertion.ef && kept <= count) {
    // Nothing can be dropped when all candidates fit, so they are sorted at once.
    hints = &pair.hints;
    rank_all(insertion, *hints, {distance, new_point}, {entries.data(), count}, kept,
             dominators.data());
  } else {
    insertion.push_scored({distance, new_point});
    for (std::size_t k = 0; k < count; ++k) insertion.push_scored(entries[k]);
  }
  const Selection selection =
      insertion.select_heuristic(points_.query(neighbour), locked_zero(new_point), points_,
                                 heuristic_->extend_candidates, heuristic_->keep_pruned, hints);
  replace_list(neighbour, selection.entries, selection.kept, selection.dominators.data());
}

// The list was chosen from its own entries with the neighbour as the query, so
// choosing again from them and the new point makes every decision before the new
// point's turn as before. When a kept entry ranked before the new point is nearer
// to it than the neighbour is, the new point is discarded and leaves every later
// decision alone too: the kept entries stay, and the new point joins the
// re-admitted ones at its place. Otherwise the new point is kept, and when it is
// nearer to none of the kept entries after it than the neighbour is, every later
// decision stands as well: the re-admitted entries were each discarded by a kept
// one that stays, and they are re-admitted in the same order, one fewer when the
// list is full. Either way that costs one distance per kept entry at most instead
// of a full selection. False when neither applies; the list is then left
// untouched for the full selection. dominators are the list's, as read_list gives
// them.
bool Construction::link_back_shortcut(PointIndex new_point, PointIndex neighbour, float distance,
                                      std::span<const Candidate> entries, std::size_t kept,
                                      const std::uint8_t* dominators, const Search& found) {
  if (kept > entries.size()) return false;
  const auto kept_end = entries.begin() + static_cast<std::ptrdiff_t>(kept);
  if (!std::is_sorted(entries.begin(), kept_end) || !std::is_sorted(kept_end, entries.end())) {
    return false;
  }
  std::array<PointIndex, kZeroSlots> ids;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (entries[k].point == new_point) return false;
    ids[k] = entries[k].point;
  }
  const Candidate x{distance, new_point};
  const std::size_t before =
      static_cast<std::size_t>(std::lower_bound(entries.begin(), kept_end, x) - entries.begin());
  // Some entry k of [first, last) such that the new point is nearer to it than
  // than(k), or kNone. The new point's own search has already bounded its
  // distance from nearly every entry (it expanded the neighbour), which settles
  // most of them; the rest are scored together, nearest first, a few at a time,
  // and the scoring stops at the first that is nearer.
  constexpr std::size_t kChunk = 8;
  constexpr std::size_t kNone = SIZE_MAX;
  const Query query = points_.query(new_point);
  const auto any_nearer = [&](std::size_t first, std::size_t last, auto than) {
    std::array<std::size_t, kZeroSlots> open;
    std::array<PointIndex, kZeroSlots> open_ids;
    std::size_t count = 0;
    for (std::size_t k = first; k < last; ++k) {
      float lo = 0.0f;
      float hi = 0.0f;
      if (found.bounds_seen(ids[k], lo, hi)) {
        if (hi < than(k)) return k;
        if (lo >= than(k)) continue;
      }
      open_ids[count] = ids[k];
      open[count++] = k;
    }
    for (std::size_t at = 0; at < count; at += kChunk) {
      const std::size_t size = std::min(kChunk, count - at);
      std::array<float, kChunk> lows;
      std::array<float, kChunk> highs;
      points_.distance_bounds(query, {open_ids.data() + at, size}, lows.data(), highs.data());
      for (std::size_t k = 0; k < size; ++k) {
        if (points_.nearer(query, open_ids[at + k], lows[k], highs[k], than(open[at + k]))) {
          return open[at + k];
        }
      }
    }
    return kNone;
  };
  const std::size_t discarder = any_nearer(0, before, [&](std::size_t) { return distance; });
  const bool discarded = discarder != kNone;
  if (!discarded) {
    // A full kept run is left to the full selection, which stops at the list's size.
    if (kept >= kZeroSlots) return false;
    if (any_nearer(before, kept, [&](std::size_t k) { return entries[k].distance; }) != kNone) {
      return false;
    }
  }
  std::array<Candidate, kZeroSlots + 1> selection;
  std::array<std::uint8_t, kZeroSlots + 1> discarders;
  const auto at = discarded ? std::lower_bound(kept_end, entries.end(), x)
                            : entries.begin() + static_cast<std::ptrdiff_t>(before);
  const auto place = static_cast<std::size_t>(at - entries.begin());
  Candidate* out = std::copy(entries.begin(), at, selection.begin());
  *out++ = x;
  out = std::copy(at, entries.end(), out);
  // A kept new point moves the kept entries after it one place on.
  std::copy(dominators, dominators + place, discarders.begin());
  discarders[place] = discarded ? static_cast<std::uint8_t>(discarder) : kNoDominator;
  std::copy(dominators + place, dominators + entries.size(), discarders.begin() + place + 1);
  if (!discarded) {
    for (std::size_t k = kept + 1; k <= entries.size(); ++k) {
      if (discarders[k] != kNoDominator && discarders[k] >= before) ++discarders[k];
    }
  }
  const std::size_t size = std::min(kZeroSlots, static_cast<std::size_t>(out - selection.begin()));
  replace_list(neighbour, {selection.data(), size}, discarded ? kept : kept + 1, discarders.data());
  return true;
}

void Construction::replace_list(PointIndex node, std::span<const Candidate> selection,
                                std::size_t kept, const std::uint8_t* dominators) {
  base::ExclusiveGuard guard(locks_[node]);
  kept_counts_[node] = static_cast<std::uint8_t>(kept);
  std::array<PointIndex, kZeroSlots>& slots = zero_[node].slots;
  ListMemo& memo = memos_[node];
  for (std::size_t k = 0; k < kZeroSlots; ++k) {
    if (k < selection.size()) {
      slots[k] = selection[k].point;
      memo.distances[k] = selection[k].distance;
      memo.dominators[k] = dominators[k];
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
  std::array<Candidate, kZeroSlots> entries;
  std::size_t kept = 0;
  std::array<std::uint8_t, kZeroSlots> dominators;
  const std::size_t count = read_list(neighbour, entries.data(), &kept, dominators.data());
  // Binary search over all slots, the empty ones counting as farther than any point.
  std::size_t low = 0;
  std::size_t high = kZeroSlots;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (mid >= count || distance_less(distance, entries[mid].distance)) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  base::ExclusiveGuard guard(locks_[neighbour]);
  zero_[neighbour].insert(low, new_point);
  // The same shift for the remembered distances.
  if (low >= kZeroSlots) return;
  std::array<float, kZeroSlots>& distances = memos_[neighbour].distances;
  for (std::size_t k = kZeroSlots - 1; k > low; --k) distances[k] = distances[k - 1];
  distances[low] = distance;
}

UpperNode Construction::freeze(PointIndex p) {
  PVDB_CHECK(p < zero_.size());
  base::SharedGuard guard(locks_[p]);
  return UpperNode::from_zero(zero_[p]);
}

}  // namespace pvdb::index
