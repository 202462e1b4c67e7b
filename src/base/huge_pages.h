#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/check.h"

#if defined(__SANITIZE_ADDRESS__)
#define PVDB_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PVDB_ASAN 1
#endif
#endif
#ifdef PVDB_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace pvdb::base {

// Under AddressSanitizer, marks memory that a pool holds but has not handed out, so
// that a read past a block or after it was given back is caught as on the heap.
// Without the sanitizer both do nothing.
inline void poison_memory([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#ifdef PVDB_ASAN
  ASAN_POISON_MEMORY_REGION(p, bytes);
#endif
}
inline void unpoison_memory([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#ifdef PVDB_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#endif
}

// The huge-page size this code aims for: 2 MiB on x86-64 and on 64-bit ARM with 4 KiB pages.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Maps `bytes` rounded up to whole huge pages, starting on a huge-page boundary, and
// asks the kernel to back them with huge pages: data read at random across many
// megabytes then misses the TLB far less often. Where the kernel declines the
// memory is ordinary. The memory is zeroed, comes straight from the system and goes
// straight back to it: a process that once held much gets it back. Ends the process
// when the system has no memory left. Thread-safe.
void* map_huge_pages(std::size_t bytes);
// Returns memory from map_huge_pages(bytes), with the same size.
void unmap_huge_pages(void* p, std::size_t bytes) noexcept;

// Gives the system back the whole pages that lie inside the `bytes` at `p`, memory
// of a private anonymous mapping the caller will not read again before writing it.
// Only advice: where the system has no such request the pages stay as they are.
void release_pages(void* p, std::size_t bytes) noexcept;

// Allocates arrays of 2 MiB and more from map_huge_pages and smaller ones from the
// heap. The graph, its sketches and its construction state are read at random:
// with small pages nearly every read of a large index also misses the TLB.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = base::kHugePage;

  HugePageAllocator() = default;
  template <class U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    PVDB_CHECK(n <= SIZE_MAX / sizeof(T));
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage)
      return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
    return static_cast<T*>(map_huge_pages(bytes));
  }

  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete (p, std::align_val_t{alignof(T)});
    } else {
      unmap_huge_pages(p, n * sizeof(T));
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace pvdb::base
