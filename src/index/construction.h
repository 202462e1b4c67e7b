#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/spin_lock.h"
#include "index/layer.h"
#include "index/point.h"
#include "index/search_pool.h"

namespace pvdb::index {

// Options of neighbour selection; without them the nearest candidates are taken.
struct Heuristic {
  bool extend_candidates = false;
  bool keep_pruned = true;
};

// The state shared by all insertions of one build. Insertions may run on many
// threads at once: they change layer 0 only under its per-node locks, share the
// search pool through its mutex, and only read the points and the upper layers.
//
// Lock order of one insertion: its own node, exclusively, for the whole insertion;
// the pool's mutex briefly; then at most one other node at a time, shared while
// it is read and exclusive while it is written, never upgraded.
class Construction {
 public:
  // With sketches of the points, the layer searches drop far candidates by them.
  Construction(const PointSet& points, const Sketches* sketches, std::size_t top,
               std::size_t ef_construction, std::optional<Heuristic> heuristic);

  // Links new_point (never 0) into layer 0 after descending the upper layers above
  // level. upper_layers[i] is layer i + 1 and must be complete for every layer above
  // level up to top.
  void insert(PointIndex new_point, std::size_t level,
              std::span<const std::vector<UpperNode>> upper_layers);

  // The first slots of node p, read under its shared lock.
  UpperNode freeze(PointIndex p);

  // Layer 0 as it stands; only once no insertion runs.
  ZeroNodes take_zero() { return std::move(zero_); }

 private:
  // `found` is the search that found the new point's neighbours: the bounds it
  // remembers settle most of a link-back's comparisons with the new point.
  void link_back(PointIndex new_point, PointIndex neighbour, float distance, const Search& found,
                 SearchPair& pair);
  void link_back_heuristic(PointIndex new_point, PointIndex neighbour, float distance,
                           const Search& found, SearchPair& pair);
  bool link_back_shortcut(PointIndex new_point, PointIndex neighbour, float distance,
                          std::span<const Candidate> entries, std::size_t kept,
                          const std::uint8_t* dominators, const Search& found);
  void link_back_sorted(PointIndex new_point, PointIndex neighbour, float distance);
  // dominators is parallel to selection, as Selection::dominators.
  void replace_list(PointIndex node, std::span<const Candidate> selection, std::size_t kept,
                    const std::uint8_t* dominators);
  std::size_t read_list(PointIndex node, Candidate* out, std::size_t* kept,
                        std::uint8_t* dominators);
  // Starts loading what a link-back into node reads and writes: its list, their
  // distances, its kept count and its lock.
  void prefetch_list(PointIndex node) const;
  static void rank_all(Search& insertion, SelectionHints& next, Candidate first,
                       std::span<const Candidate> entries, std::size_t kept,
                       const std::uint8_t* dominators);
  Layer locked_zero(PointIndex owned) const;

  const PointSet& points_;
  const Sketches* sketches_;
  ZeroNodes zero_;
  // What construction remembers of a node's list beside its slots, kept under the
  // same lock: five whole lines, which a link-back reads together.
  struct alignas(64) ListMemo {
    // For every slot, the distance from the node's point to the slot's point.
    // Linking back needs exactly these distances, and distances are deterministic,
    // so remembering them changes no result.
    std::array<float, kZeroSlots> distances;
    // With the heuristic: for each re-admitted entry, the place among the list's
    // kept entries of one that discarded it in the last selection. A later
    // selection over the same entries discards it again without scoring it.
    std::array<std::uint8_t, kZeroSlots> dominators;
  };
  std::vector<ListMemo, base::HugePageAllocator<ListMemo>> memos_;
  // With the heuristic: how many leading entries of each list its last selection
  // kept (the rest were re-admitted). Kept under the same lock as the list.
  std::vector<std::uint8_t> kept_counts_;
  std::unique_ptr<base::RwLock[]> locks_;
  SearchPool pool_;
  std::size_t top_;
  std::size_t ef_construction_;
  std::optional<Heuristic> heuristic_;
};

}  // namespace pvdb::index
