#include "index/hnsw_map.h"

#include <utility>

#include "base/check.h"
#include "index/construction.h"

namespace pvdb::index {
namespace {

// Indices handed out at a time when copying nodes; insertions go one by one.
constexpr std::size_t kFreezeGrain = 512;

// Inserts the points of every layer, top layer first, freezing each upper layer
// once its insertions are done. Returns the upper layers; layer 0 stays in
// construction.
std::vector<std::vector<UpperNode>> insert_layers(Construction& construction,
                                                  const std::vector<LayerPlan>& plan,
                                                  base::WorkerPool& pool) {
  const std::size_t top = plan.size() - 1;
  std::vector<std::vector<UpperNode>> layers(top);
  for (const LayerPlan& step : plan) {
    const auto insert = [&](std::size_t i) {
      construction.insert(static_cast<PointIndex>(i), step.layer, layers);
    };
    if (step.layer == top) {
      // The top layer is small (under 110 points); it goes on this thread alone.
      for (std::size_t i = step.begin; i < step.end; ++i) insert(i);
    } else {
      pool.parallel_for(step.begin, step.end, 1, insert);
    }
    if (step.layer == 0) continue;
    std::vector<UpperNode>& frozen = layers[step.layer - 1];
    frozen.resize(step.end);
    pool.parallel_for(0, step.end, kFreezeGrain, [&](std::size_t j) {
      frozen[j] = construction.freeze(static_cast<PointIndex>(j));
    });
  }
  return layers;
}

}  // namespace

Hnsw::Hnsw(PointSet points, Sketches sketches, ZeroNodes zero,
           std::vector<std::vector<UpperNode>> layers, std::uint64_t ef_search)
    : points_(std::move(points)),
      sketches_(std::move(sketches)),
      zero_(std::move(zero)),
      layers_(std::move(layers)),
      ef_search_(ef_search) {
  PVDB_CHECK(zero_.size() == points_.size() && sketches_.size() == points_.size());
}

std::span<const Candidate> Hnsw::search(std::span<const float> query, Beam& beam,
                                        std::size_t limit) const {
  beam.reset();
  if (points_.empty()) return beam.nearest;
  beam.visited.reserve_capacity(points_.size());
  const Query q = Query::of(query);
  // Queries rank by exact distances: their rows mostly come from memory, which the
  // eight-row exact kernel overlaps better than the bounded path's row-by-row one
  // (that path measured slower, with or without sketches). The sketches spare most
  // of those rows.
  beam.sketch.assign(q);
  beam.push(0, q, points_);
  for (std::size_t k = layers_.size(); k >= 1; --k) {
    beam.ef = 1;
    beam.search(q, Layer::upper(layers_[k - 1]), points_, kUpperSlots, &sketches_);
    beam.cull();
  }
  beam.ef = ef_search_;
  beam.search(q, Layer::zero(zero_), points_, kZeroSlots, &sketches_);
  if (beam.nearest.size() > limit) beam.nearest.resize(limit);
  return beam.nearest;
}

HnswMap HnswMap::build(PointSet points, std::vector<std::uint64_t> values, const Builder& builder) {
  return build(std::move(points), std::move(values), builder, base::WorkerPool::global());
}

HnswMap HnswMap::build(PointSet points, std::vector<std::uint64_t> values, const Builder& builder,
                       base::WorkerPool& pool) {
  const std::size_t n = points.size();
  PVDB_CHECK(values.size() == n);
  if (n == 0) return HnswMap(Hnsw(PointSet(), Sketches(), {}, {}, builder.ef_search), {});
  const std::vector<LayerPlan> plan = layer_plan(n, builder.ml);
  const std::vector<PointIndex> order = build_order(n, builder.seed);
  PointSet ordered = points.reordered(order);
  points = PointSet();

  Sketches sketches(ordered);
  Construction construction(ordered, &sketches, plan.size() - 1, builder.ef_construction,
                            builder.heuristic);
  std::vector<std::vector<UpperNode>> layers = insert_layers(construction, plan, pool);
  ZeroNodes zero = construction.take_zero();
  Hnsw hnsw(std::move(ordered), std::move(sketches), std::move(zero), std::move(layers),
            builder.ef_search);

  std::vector<std::uint64_t> reordered(n);
  for (std::size_t j = 0; j < n; ++j) reordered[j] = values[order[j]];
  return HnswMap(std::move(hnsw), std::move(reordered));
}

HnswMap::Results HnswMap::search(std::span<const float> query, Beam& beam,
                                 std::size_t limit) const {
  return Results(*this, hnsw_.search(query, beam, limit));
}

SearchResult HnswMap::Results::operator[](std::size_t k) const {
  PVDB_CHECK(k < nearest_.size());
  const Candidate& c = nearest_[k];
  return {c.distance, c.point, map_->hnsw_.points()[c.point], map_->values_[c.point]};
}

}  // namespace pvdb::index
