#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace pvdb::core {

// Where the records' embeddings live. Searches and index builds read rows at
// random across every record, so the rows of one length are packed into 2 MiB
// chunks that the kernel may back with huge pages, each row on whole cache lines:
// a row costs fewer cache lines and, far more often, no TLB miss. Rows too short
// or too long to gain from this come from the ordinary heap.
namespace row_pool {

// Whether a block of this many bytes comes from the chunks.
bool pooled(std::size_t bytes);
// A block of `bytes` (pooled(bytes) must hold) at a 64-byte boundary. Thread-safe.
void* allocate(std::size_t bytes);
// Gives back a block from allocate(bytes), with the same size. A chunk whose rows
// are all given back goes back to the system, except one per row size that is kept
// for the next rows. Thread-safe.
void deallocate(void* p, std::size_t bytes) noexcept;

// How many chunks exist for blocks of `bytes`; for tests.
std::size_t chunk_count(std::size_t bytes);

}  // namespace row_pool

// A std::allocator that places blocks in the row pool when they are large enough.
// Every instance can free every other's blocks: the size alone says where a block
// came from.
template <class T>
struct RowAllocator {
  using value_type = T;

  RowAllocator() = default;
  template <class U>
  RowAllocator(const RowAllocator<U>&) {}  // NOLINT: converting, as allocators must be

  // std::vector never asks for more than max_size() elements, so n * sizeof(T) fits.
  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (row_pool::pooled(bytes)) return static_cast<T*>(row_pool::allocate(bytes));
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (row_pool::pooled(bytes)) {
      row_pool::deallocate(p, bytes);
    } else {
      ::operator delete(p);
    }
  }

  template <class U>
  bool operator==(const RowAllocator<U>&) const {
    return true;
  }
};

// One record's embedding.
using Embedding = std::vector<float, RowAllocator<float>>;

}  // namespace pvdb::core
