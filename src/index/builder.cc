#include "index/builder.h"

#include <algorithm>
#include <cstring>

#include "base/check.h"
#include "base/entropy.h"

namespace pvdb::index {
namespace {

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

std::uint64_t fresh_seed() {
  unsigned char bytes[8];
  base::read_entropy(bytes, sizeof(bytes));
  std::uint64_t seed = 0;
  std::memcpy(&seed, bytes, sizeof(seed));
  return seed;
}

BuildOrderRng::BuildOrderRng(std::uint64_t seed) {
  std::uint64_t pcg = seed;
  std::uint32_t words[8];
  for (std::uint32_t& word : words) {
    pcg = pcg * 6364136223846793005ull + 11634580027462260723ull;
    const auto xorshifted = static_cast<std::uint32_t>(((pcg >> 18) ^ pcg) >> 27);
    const auto rot = static_cast<int>(pcg >> 59);
    word = std::rotr(xorshifted, rot);
  }
  // Words laid down little-endian and read back as four 64-bit words.
  for (int k = 0; k < 4; ++k) {
    s_[k] = std::uint64_t{words[2 * k]} | (std::uint64_t{words[2 * k + 1]} << 32);
  }
  if (s_[0] == 0 && s_[1] == 0 && s_[2] == 0 && s_[3] == 0) {
    std::uint64_t split = 0;
    for (std::uint64_t& s : s_) {
      split += 0x9E3779B97F4A7C15ull;
      std::uint64_t z = split;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      s = z ^ (z >> 31);
    }
  }
}

std::uint64_t BuildOrderRng::next_u64() {
  const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

std::uint32_t BuildOrderRng::below(std::uint32_t n) {
  const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const std::uint64_t m = std::uint64_t{next_u32()} * n;
    if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
  }
}

void check_point_count(std::uint64_t n) { PVDB_CHECK(n < 0xFFFFFFFFull); }

std::vector<PointIndex> build_order(std::size_t n, std::uint64_t seed) {
  check_point_count(n);
  BuildOrderRng rng(seed);
  // Key in the high half, input position in the low half: one sort orders by
  // key, then by position.
  std::vector<std::uint64_t> pairs(n);
  for (std::size_t i = 0; i < n; ++i) {
    pairs[i] = (std::uint64_t{rng.below(static_cast<std::uint32_t>(n))} << 32) | i;
  }
  std::sort(pairs.begin(), pairs.end());
  std::vector<PointIndex> order(n);
  for (std::size_t j = 0; j < n; ++j) order[j] = static_cast<PointIndex>(pairs[j]);
  return order;
}

std::vector<LayerPlan> layer_plan(std::size_t n, float ml) {
  // (points the layer adds, end of the layer), bottom layer first.
  // A multiplier of 1 or more would never shrink the layers.
  PVDB_CHECK(ml >= 0.0f && ml < 1.0f);
  std::vector<std::pair<std::size_t, std::size_t>> sizes;
  std::size_t num = n;
  for (;;) {
    const float scaled = static_cast<float>(num) * ml;
    const auto next = static_cast<std::size_t>(scaled);
    if (next < kM) break;
    PVDB_CHECK(next < num);
    sizes.emplace_back(num - next, num);
    num = next;
  }
  sizes.emplace_back(num, num);
  std::reverse(sizes.begin(), sizes.end());
  std::vector<LayerPlan> plan;
  plan.reserve(sizes.size());
  for (std::size_t t = 0; t < sizes.size(); ++t) {
    const auto [size, end] = sizes[t];
    plan.push_back({sizes.size() - 1 - t, std::max<std::size_t>(end - size, 1), end});
  }
  return plan;
}

}  // namespace pvdb::index
