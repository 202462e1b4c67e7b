// Build time, and queries per second with recall@10 against brute force, on
// clustered Gaussian data. The build runs on the process-wide worker pool, so
// RAYON_NUM_THREADS sets its thread count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "index/hnsw_map.h"

namespace {

using pvdb::index::Beam;
using pvdb::index::Builder;
using pvdb::index::HnswMap;
using pvdb::index::Point;
using pvdb::index::PointSet;

constexpr std::size_t kDim = 128;
constexpr std::size_t kClusters = 64;
constexpr std::size_t kQueries = 200;

std::vector<Point> clustered(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::mt19937 centre_rng(99);
  std::vector<Point> centres(kClusters, Point(kDim));
  for (Point& c : centres) {
    for (float& x : c) x = 3.0f * g(centre_rng);
  }
  std::vector<Point> points(n, Point(kDim));
  for (std::size_t i = 0; i < n; ++i) {
    const Point& c = centres[rng() % kClusters];
    for (std::size_t k = 0; k < kDim; ++k) points[i][k] = c[k] + g(rng);
  }
  return points;
}

std::vector<std::uint64_t> positions(std::size_t n) {
  std::vector<std::uint64_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = i;
  return values;
}

HnswMap build(const std::vector<Point>& points, bool keep_pruned = true) {
  Builder builder;
  builder.seed = 12345;
  builder.heuristic->keep_pruned = keep_pruned;
  return HnswMap::build(PointSet(points), positions(points.size()), builder);
}

// The second argument is keep_pruned. The store always keeps the pruned
// candidates, which fills every list to 64 entries; 0 prices that choice: lists
// then hold only the neighbours the heuristic kept.
void BM_Build(benchmark::State& state) {
  const std::vector<Point> points = clustered(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) {
    HnswMap map = build(points, state.range(1) != 0);
    benchmark::DoNotOptimize(map.size());
  }
  state.counters["points"] = static_cast<double>(points.size());
}

void BM_Query(benchmark::State& state) {
  const std::vector<Point> points = clustered(static_cast<std::size_t>(state.range(0)), 1);
  const std::vector<Point> queries = clustered(kQueries, 2);
  const HnswMap map = build(points);
  std::vector<std::vector<std::uint64_t>> exact;
  for (const Point& q : queries) {
    std::vector<std::pair<float, std::uint64_t>> all;
    for (std::size_t i = 0; i < points.size(); ++i) {
      all.push_back({pvdb::index::distance(q, points[i]), i});
    }
    std::partial_sort(all.begin(), all.begin() + 10, all.end());
    exact.emplace_back();
    for (std::size_t k = 0; k < 10; ++k) exact.back().push_back(all[k].second);
  }
  Beam search;
  std::size_t hits = 0;
  std::size_t asked = 0;
  std::size_t next = 0;
  for (auto _ : state) {
    const auto results = map.search(queries[next], search);
    for (std::size_t k = 0; k < 10 && k < results.size(); ++k) {
      const auto& truth = exact[next];
      hits += std::count(truth.begin(), truth.end(), results[k].value);
    }
    asked += 10;
    next = (next + 1) % kQueries;
  }
  state.counters["queries_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["recall_at_10"] = static_cast<double>(hits) / static_cast<double>(asked);
}

BENCHMARK(BM_Build)
    ->Args({20000, 1})
    ->Args({20000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_Query)->Arg(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
