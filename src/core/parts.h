#pragma once

#include <algorithm>
#include <cstddef>

#include "base/worker_pool.h"

namespace pvdb::core {

// The threads that run_parts spreads work over.
inline std::size_t worker_count() { return base::WorkerPool::global().size(); }

// How many parts to split work on `bytes` of text into: one below a megabyte,
// where one thread is quicker than waking the others, else one per worker, up to 16.
inline std::size_t part_count(std::size_t bytes) {
  constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
  constexpr std::size_t kMaxParts = 16;
  if (bytes < kParallelBytes) return 1;
  return std::min(worker_count(), kMaxParts);
}

// Runs body(0) .. body(count - 1), on the worker pool when there is more than one.
template <class Body>
void run_parts(std::size_t count, const Body& body) {
  if (count == 1) {
    body(0);
    return;
  }
  base::WorkerPool::global().parallel_for(0, count, 1, body);
}

}  // namespace pvdb::core
