#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "index/check.h"

namespace pvdb::index {

// Allocates arrays of 2 MiB and more on 2 MiB boundaries and asks the kernel to
// back them with huge pages. The graph, its sketches and its construction state
// are read at random: with small pages nearly every read of a large index also
// misses the TLB. Where the kernel declines, the memory is ordinary.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    PVDB_CHECK(n <= SIZE_MAX / sizeof(T));
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage)
      return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    PVDB_CHECK(p != nullptr);
#if defined(MADV_HUGEPAGE) && !defined(PVDB_POSIX_FALLBACKS)
    // Advice only: memory without huge pages works the same.
    (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete (p, std::align_val_t{alignof(T)});
    } else {
      std::free(p);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace pvdb::index
