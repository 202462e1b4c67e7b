#include "base/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

namespace pvdb::base {
namespace {

std::size_t whole_pages(std::size_t bytes) {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* map_huge_pages(std::size_t bytes) {
  PVDB_CHECK(bytes > 0 && bytes <= SIZE_MAX - 2 * kHugePage);
  const std::size_t size = whole_pages(bytes);
  // A huge page more than needed, so that a boundary lies inside; the rest is unmapped.
  void* raw =
      mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  PVDB_CHECK(raw != MAP_FAILED);
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t base = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (base > start) munmap(raw, base - start);
  munmap(reinterpret_cast<void*>(base + size), start + kHugePage - base);
#if defined(MADV_HUGEPAGE) && !defined(PVDB_POSIX_FALLBACKS)
  // Advice only: memory without huge pages works the same.
  (void)madvise(reinterpret_cast<void*>(base), size, MADV_HUGEPAGE);
#endif
  // The slack past the caller's bytes is never theirs to read.
  poison_memory(reinterpret_cast<char*>(base) + bytes, size - bytes);
  return reinterpret_cast<void*>(base);
}

void unmap_huge_pages(void* p, std::size_t bytes) noexcept {
  const std::size_t size = whole_pages(bytes);
  // A caller may have poisoned parts; whatever is mapped here next starts clean.
  unpoison_memory(p, size);
  munmap(p, size);
}

void release_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_DONTNEED) && !defined(PVDB_POSIX_FALLBACKS)
  static const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return;
  const auto size = static_cast<std::uintptr_t>(page);
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (start + size - 1) / size * size;
  const std::uintptr_t last = (start + bytes) / size * size;
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#endif
}

}  // namespace pvdb::base
