#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/construction.h"
#include "index/point.h"

namespace pvdb::index {

// 1 / ln 32 rounded to 32 bits: each layer holds about this share of the one below.
inline const float kDefaultMl = std::bit_cast<float>(std::uint32_t{0x3E93BB63});

// A fresh 64-bit seed from the operating system's entropy source (getrandom),
// read anew for every seed: builds are rare next to the cost of building, so a
// generator of our own would save nothing worth its state.
std::uint64_t fresh_seed();

// The settings of one build. The default ones, with a fresh seed, are what the
// store uses; tests may set any field, the seed included.
struct Builder {
  std::uint64_t ef_search = 100;
  std::uint64_t ef_construction = 100;
  std::optional<Heuristic> heuristic = Heuristic{};
  float ml = kDefaultMl;
  std::uint64_t seed = fresh_seed();
};

// The generator that draws the build order: Xoshiro256++ with its state filled
// from a 64-bit seed by PCG32 (XSH-RR).
class BuildOrderRng {
 public:
  explicit BuildOrderRng(std::uint64_t seed);

  std::uint64_t next_u64();
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }
  // Uniform in [0, n) without bias, by widening multiplication and rejection; n > 0.
  std::uint32_t below(std::uint32_t n);

  const std::uint64_t* state() const { return s_; }

 private:
  std::uint64_t s_[4];
};

// Ends the process when n points cannot be numbered by a PointIndex.
void check_point_count(std::uint64_t n);

// For every position j of the build order, the input position of the point that
// goes there.
std::vector<PointIndex> build_order(std::size_t n, std::uint64_t seed);

// One layer of the plan: its number, and the build-order positions it adds to
// the layers above (point 0 is never inserted).
struct LayerPlan {
  std::size_t layer;
  std::size_t begin;
  std::size_t end;
};

// The layers of an n-point graph (n > 0), the top layer first.
std::vector<LayerPlan> layer_plan(std::size_t n, float ml);

}  // namespace pvdb::index
