#include "base/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pvdb::base {
namespace {

// Both sides of the 2 MiB line: large arrays start on a huge-page boundary, and
// every size keeps its contents through growth and release.
TEST(HugePageAllocator, LargeArraysAreAlignedAndAllSizesHoldTheirValues) {
  constexpr std::size_t kHuge = HugePageAllocator<int>::kHugePage;
  for (const std::size_t n : {std::size_t{1}, kHuge / 8 - 1, kHuge / 8, kHuge / 8 * 3 + 5}) {
    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> v(n);
    if (n * sizeof(std::uint64_t) >= kHuge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % kHuge, 0u) << n;
    }
    for (std::size_t i = 0; i < n; ++i) v[i] = i * 7;
    v.push_back(1);  // grows across the line for the one just below it
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(v[i], i * 7) << n;
  }
}

}  // namespace
}  // namespace pvdb::base
