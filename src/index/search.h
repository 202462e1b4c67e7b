#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "index/candidate.h"
#include "index/layer.h"
#include "index/point.h"
#include "index/sketch.h"
#include "index/visited.h"

namespace pvdb::index {

// Marks a selection's entry that no kept entry is known to discard.
inline constexpr std::uint8_t kNoDominator = 0xFF;

// What a query owns: the best-first search of the layers. One thread at a time.
// Lists and marks keep their capacity across reset, so a reused Beam allocates
// nothing once warm. Its marks fit only the point list they were sized for.
class Beam {
 public:
  Visited visited;
  std::vector<Candidate> nearest;  // ascending, the best found so far
  std::size_t ef = 1;              // how many entries nearest keeps
  // The query as push_all hands it to sketches.
  SketchQuery sketch;

  // Clears visited and empties the lists; keeps ef.
  void reset();

  // Scores p against the query unless it is visited already, and keeps it when
  // fewer than ef entries of nearest rank before it.
  void push(PointIndex p, const Query& query, const PointSet& points);

  // The same as push for a point whose distance from the query the caller already
  // has; c.distance must be exactly what push would compute.
  void push_scored(Candidate c);

  // The same as push for each point in turn, with the new points scored together.
  // With sketches of points (and the query in sketch), the points they show to be
  // too far to be kept are dropped before their rows are read; the result is the same.
  // The nodes of the points kept start loading from `expanded`, when given.
  void push_all(std::span<const PointIndex> ps, const Query& query, const PointSet& points,
                const Sketches* sketches = nullptr, const Layer* expanded = nullptr);

  // Greedy best-first search of one layer from the current candidates, following
  // at most links neighbours of each expanded node. The result is left in nearest.
  void search(const Query& query, const Layer& layer, const PointSet& points, std::size_t links,
              const Sketches* sketches = nullptr);

  // Restarts the candidates from nearest and makes only nearest visited, between
  // the search of one layer and the next.
  void cull();

 protected:
  // Bounds on a point's distance from the query, as a bounded search found them.
  // Both bounds of a point share a line, as they are read together.
  struct Seen {
    float lo;
    float hi;
  };

  // Leaves in batch_ids_ the points of ps not visited yet, and marks them. With
  // sketches and a limit other than kNoLimit (or any NaN), drops those whose sketch
  // puts them beyond limit, remembering the sketch's bound in seen when given,
  // then starts loading the rows of the rest.
  void collect_new(std::span<const PointIndex> ps, const PointSet& points, const Sketches* sketches,
                   float limit, Seen* seen);
  static constexpr float kNoLimit = std::numeric_limits<float>::quiet_NaN();

  // Scratch for scoring many points in one batch.
  std::vector<PointIndex> batch_ids_;
  std::vector<float> batch_distances_;
  std::vector<float> batch_lows_;
  std::vector<float> batch_highs_;

 private:
  bool offer(Candidate c);  // whether c was kept

  std::vector<Candidate> candidates_;  // a binary min-heap: points still to expand
};

// What passes from a list's last selection into the next one over the same
// entries, parallel to the candidates. The selection consumes it.
struct SelectionHints {
  // Entries marked 1 are known not to discard one another (an earlier selection
  // kept them all from the same query), so they are not compared again.
  std::vector<std::uint8_t> kept_before;
  // For an entry known to be discarded, the place among the selection's kept
  // entries of one that is nearer to it than the query is (that entry must be kept
  // and rank before it); kNoDominator for the others.
  std::vector<std::uint8_t> dominated_before;
};

// What a selection hands back, valid until its Search is used again: the kept
// entries first, then the re-admitted ones. dominators is parallel to entries:
// for each re-admitted entry, the place among the kept entries of one that
// discarded it; kNoDominator for the kept ones.
struct Selection {
  std::span<const Candidate> entries;
  std::size_t kept = 0;
  std::span<const std::uint8_t> dominators;
};

// What an insertion owns: a Beam that can also run with distance bounds, and the
// scratch of neighbour selection. One thread at a time.
class Search : public Beam {
 public:
  // Clears the beam and the bounded state; keeps ef.
  void reset();

  // push, search and cull again (used by construction), deciding each comparison from distance
  // bounds (PointSet::distance_bounds) and computing an exact distance only where the bounds
  // overlap, so every decision, and so the result, is the one the exact operations make. The state
  // lives apart from nearest until settle() leaves the result, with exact distances, in nearest. A
  // search uses either these or the exact operations between two resets.
  void push_bounded(PointIndex p, const Query& query, const PointSet& points);
  void search_bounded(const Query& query, const Layer& layer, const PointSet& points,
                      std::size_t links, const Sketches* sketches = nullptr);
  void cull_bounded();
  // The bounded result with exact distances, left in nearest.
  std::span<const Candidate> settle(const Query& query, const PointSet& points);

  // Bounds on p's distance from the query that the bounded search found for it, valid
  // while p is visited: a sketch's lower bound with hi +infinity for a point it ruled
  // out, else the distance bounds. False for a point not visited.
  bool bounds_seen(PointIndex p, float& lo, float& hi) const {
    if (!visited.contains(p) || p >= bounded_.seen.size()) return false;
    lo = bounded_.seen[p].lo;
    hi = bounded_.seen[p].hi;
    return true;
  }

  // Chooses at most kZeroSlots neighbours for query among nearest: a candidate is
  // kept only when no kept one is nearer to it than the query is. Leaves the
  // selection in nearest. Reads layer only with extend_candidates, and then ignores
  // hints.
  Selection select_heuristic(const Query& query, const Layer& layer, const PointSet& points,
                             bool extend_candidates, bool keep_pruned,
                             SelectionHints* hints = nullptr);

 private:
  struct Ranking;
  bool offer_bounded(Bounded c, Ranking& ranking);  // whether c was kept
  void mark_dominated(std::size_t chosen, const PointSet& points);
  void extend(const Candidate& c, const Query& query, const Layer& layer, const PointSet& points);

  // The bounded mode's own nearest and candidates, and per point the bounds it
  // found, for bounds_seen (sized on its first use).
  struct BoundedState {
    std::vector<Bounded> nearest;
    std::vector<Bounded> heap;
    std::vector<Seen> seen;
  };
  // Neighbour selection's scratch, and the dominators it hands back.
  struct SelectionState {
    std::vector<Candidate> working;
    std::vector<Candidate> discarded;        // rejected, in order
    std::vector<std::uint8_t> discarded_by;  // parallel to discarded
    // Per entry of working: the kept one bound to discard it, or kNoDominator.
    std::vector<std::uint8_t> dominator_of;
    std::vector<std::uint8_t> settled;   // kept_before, as taken by the running selection
    std::vector<std::uint32_t> open[2];  // positions in working not yet decided nor marked
    std::size_t open_head[2] = {0, 0};   // how many leading ones are decided
    std::vector<std::uint8_t> dominators;
  };
  BoundedState bounded_;
  SelectionState selection_;
};

}  // namespace pvdb::index
