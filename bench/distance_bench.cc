// Nanoseconds per cosine distance: the plain sequential loop against the batched
// kernels. All of them give bit-identical results; only the speed differs.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <vector>

#include "base/cpu.h"
#include "index/kernels.h"
#include "index/point.h"

namespace {

using pvdb::index::Point;
using pvdb::index::PointIndex;
using pvdb::index::PointSet;
using pvdb::index::Query;
namespace kernels = pvdb::index::kernels;

constexpr std::size_t kPoints = 1024;

struct Data {
  std::vector<Point> points;
  PointSet set;
  Point query;
  std::vector<PointIndex> ids;
};

const Data& data(std::size_t dim) {
  static std::map<std::size_t, Data> cache;
  Data& d = cache[dim];
  if (d.points.empty()) {
    std::mt19937 rng(1);
    std::normal_distribution<float> g(0.0f, 1.0f);
    d.points.assign(kPoints, Point(dim));
    for (Point& p : d.points) {
      for (float& x : p) x = g(rng);
    }
    d.set = PointSet(d.points);
    d.query = d.points[0];
    // A scattered order, as neighbour lists are.
    for (std::size_t k = 0; k < kPoints; ++k)
      d.ids.push_back(static_cast<PointIndex>((k * 389) % kPoints));
  }
  return d;
}

// Shown as time per distance, e.g. "10.7ns".
void report(benchmark::State& state, std::size_t per_iteration) {
  state.counters["per_distance"] = benchmark::Counter(
      static_cast<double>(per_iteration) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The textbook form: both norms and the dot product recomputed for every pair.
void BM_PlainScalar(benchmark::State& state) {
  const Data& d = data(static_cast<std::size_t>(state.range(0)));
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pvdb::index::distance(d.query, d.points[d.ids[k]]));
    k = (k + 1) % kPoints;
  }
  report(state, 1);
}

// One pair at a time, with both norms computed once beforehand.
void BM_SingleWithNorms(benchmark::State& state) {
  const Data& d = data(static_cast<std::size_t>(state.range(0)));
  const Query q = Query::of(d.query);
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.set.distance_to(q, d.ids[k]));
    k = (k + 1) % kPoints;
  }
  report(state, 1);
}

// A neighbour list's worth of points at once, through one kernel.
template <kernels::DotBatchFn Kernel>
void BM_BatchKernel(benchmark::State& state) {
  const std::size_t dim = static_cast<std::size_t>(state.range(0));
  const std::size_t batch = static_cast<std::size_t>(state.range(1));
#ifdef PVDB_KERNELS_X86
  if (Kernel == kernels::dot_batch_avx2 && !pvdb::base::has_avx2_fma()) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
#endif
  const Data& d = data(dim);
  std::vector<float> out(kernels::kMaxBatch);
  const float* rows[kernels::kMaxBatch];
  std::size_t lens[kernels::kMaxBatch];
  std::size_t first = 0;
  for (auto _ : state) {
    for (std::size_t k = 0; k < batch; ++k) {
      rows[k] = d.points[d.ids[(first + k) % kPoints]].data();
      lens[k] = dim;
    }
    Kernel(d.query.data(), dim, rows, lens, batch, out.data());
    benchmark::DoNotOptimize(out.data());
    first = (first + batch) % kPoints;
  }
  report(state, batch);
}

// What a search pays per distance: gather, best kernel, finishing with the norms.
void BM_PointSetBatch(benchmark::State& state) {
  const Data& d = data(static_cast<std::size_t>(state.range(0)));
  const std::size_t batch = static_cast<std::size_t>(state.range(1));
  const Query q = Query::of(d.query);
  std::vector<float> out(batch);
  std::size_t first = 0;
  for (auto _ : state) {
    d.set.distances(q, {d.ids.data() + first, batch}, out.data());
    benchmark::DoNotOptimize(out.data());
    first = (first + batch) % (kPoints - batch);
  }
  report(state, batch);
}

void dims(benchmark::internal::Benchmark* b) {
  for (const int dim : {128, 384, 768}) b->Arg(dim);
}

void dims_and_batches(benchmark::internal::Benchmark* b) {
  for (const int dim : {128, 384, 768}) {
    for (const int batch : {8, 16}) b->Args({dim, batch});
  }
}

void dims_and_lists(benchmark::internal::Benchmark* b) {
  for (const int dim : {128, 384, 768}) {
    for (const int batch : {16, 64}) b->Args({dim, batch});
  }
}

BENCHMARK(BM_PlainScalar)->Apply(dims);
BENCHMARK(BM_SingleWithNorms)->Apply(dims);
BENCHMARK(BM_BatchKernel<kernels::dot_batch_scalar>)->Apply(dims_and_batches);
#ifdef PVDB_KERNELS_X86
BENCHMARK(BM_BatchKernel<kernels::dot_batch_sse2>)->Apply(dims_and_batches);
BENCHMARK(BM_BatchKernel<kernels::dot_batch_avx2>)->Apply(dims_and_batches);
#endif
#ifdef PVDB_KERNELS_NEON
BENCHMARK(BM_BatchKernel<kernels::dot_batch_neon>)->Apply(dims_and_batches);
#endif
BENCHMARK(BM_PointSetBatch)->Apply(dims_and_lists);

}  // namespace

BENCHMARK_MAIN();
