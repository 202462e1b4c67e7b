#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/worker_pool.h"
#include "index/builder.h"
#include "index/candidate.h"
#include "index/layer.h"
#include "index/point.h"
#include "index/search.h"

namespace pvdb::index {

// A finished graph. Immutable: any number of threads may query it at once, each
// with its own Beam. Point 0 is the entry point of every query.
class Hnsw {
 public:
  Hnsw() = default;
  // sketches must be those of points.
  Hnsw(PointSet points, Sketches sketches, ZeroNodes zero,
       std::vector<std::vector<UpperNode>> layers, std::uint64_t ef_search);

  // The nearest points to query, at most ef_search of them, ascending by distance
  // and then by point index; only the first `limit` are returned. The result is
  // beam.nearest: it stays valid until beam is used again. beam may come from
  // any earlier query on any graph.
  std::span<const Candidate> search(std::span<const float> query, Beam& beam,
                                    std::size_t limit = SIZE_MAX) const;

  const PointSet& points() const { return points_; }
  const ZeroNodes& zero() const { return zero_; }
  // Element k - 1 is layer k.
  const std::vector<std::vector<UpperNode>>& layers() const { return layers_; }
  std::uint64_t ef_search() const { return ef_search_; }

 private:
  PointSet points_;
  Sketches sketches_;
  ZeroNodes zero_;
  std::vector<std::vector<UpperNode>> layers_;
  std::uint64_t ef_search_ = 0;
};

// One item of a query's result.
struct SearchResult {
  float distance;
  PointIndex point_index;
  std::span<const float> point;  // the row the point was built from
  std::uint64_t value;           // what was passed with the point
};

// An Hnsw plus one value per point, indexed like the points.
//
// Contract for the store:
//   Builder builder;                                   // defaults, fresh seed
//   HnswMap map = HnswMap::build(PointSet::borrowed(rows), positions, builder);
//   Beam beam;
//   for (const SearchResult& r : map.search(query, beam)) use(r.distance, r.value);
// build takes the points and values over (one value per point; fewer than
// 2^32 - 1 points, or the process ends), runs the lower layers on the
// process-wide worker pool and returns when the graph is complete. The results of
// a query refer into the map and into beam: valid while both live unchanged.
// Borrowed rows must outlive the map unchanged: the map keeps no copy of them.
class HnswMap {
 public:
  class Results;

  HnswMap() = default;

  static HnswMap build(PointSet points, std::vector<std::uint64_t> values, const Builder& builder);
  // The same on a given pool, so a build can be made on a chosen number of threads.
  static HnswMap build(PointSet points, std::vector<std::uint64_t> values, const Builder& builder,
                       base::WorkerPool& pool);

  Results search(std::span<const float> query, Beam& beam, std::size_t limit = SIZE_MAX) const;

  const Hnsw& hnsw() const { return hnsw_; }
  const std::vector<std::uint64_t>& values() const { return values_; }
  std::size_t size() const { return values_.size(); }

 private:
  HnswMap(Hnsw hnsw, std::vector<std::uint64_t> values)
      : hnsw_(std::move(hnsw)), values_(std::move(values)) {}

  Hnsw hnsw_;
  std::vector<std::uint64_t> values_;
};

// The items of one query, nearest first; a view over the map and the Beam.
class HnswMap::Results {
 public:
  class Iterator {
   public:
    Iterator(const Results* results, std::size_t at) : results_(results), at_(at) {}
    SearchResult operator*() const { return (*results_)[at_]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    const Results* results_;
    std::size_t at_;
  };

  Results(const HnswMap& map, std::span<const Candidate> nearest) : map_(&map), nearest_(nearest) {}

  std::size_t size() const { return nearest_.size(); }
  bool empty() const { return nearest_.empty(); }
  SearchResult operator[](std::size_t k) const;
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, nearest_.size()}; }

 private:
  const HnswMap* map_;
  std::span<const Candidate> nearest_;
};

}  // namespace pvdb::index
