#include "core/row_pool.h"

#include <array>
#include <cstdint>
#include <mutex>

#include "base/huge_pages.h"
#include "base/spin_lock.h"

namespace pvdb::core::row_pool {
namespace {

constexpr std::size_t kChunk = base::kHugePage;
constexpr std::size_t kLine = 64;
// Below this a row shares its lines with little else anyway; above it a chunk
// would hold too few rows to be worth its header.
constexpr std::size_t kSmallest = 128;
constexpr std::size_t kLargest = 64 << 10;
// Empty chunks kept across all row sizes, so that a store emptied and filled again,
// or one temporary row made and dropped over and over, does not map and unmap a
// chunk each time, while a process that once held many rows gets its memory back.
constexpr std::size_t kMaxSpares = 4;

// The head of a chunk, in its first slot. Free slots are linked through their
// first bytes; slots never handed out lie beyond `fresh`.
struct Chunk {
  Chunk* prev = nullptr;  // neighbours in its size's list of chunks with room
  Chunk* next = nullptr;
  bool has_room = false;  // whether it is in that list
  void* free = nullptr;
  std::size_t fresh = 0;  // offset of the first slot never handed out
  std::size_t live = 0;
};
static_assert(sizeof(Chunk) <= kSmallest);

struct Size {
  Chunk* with_room = nullptr;
  std::size_t chunks = 0;
};

std::size_t slot_of(std::size_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }

Chunk* chunk_of(void* p) {
  return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(p) & ~(kChunk - 1));
}

// Under AddressSanitizer, free slots and the slack after each block stay poisoned,
// so that a read past a row or after it is freed is caught as on the heap.
class Pool {
 public:
  void* allocate(std::size_t bytes) {
    const std::size_t slot = slot_of(bytes);
    std::lock_guard guard(lock_);
    Size& size = sizes_[slot / kLine];
    if (size.with_room == nullptr) add_room(size, new_chunk(slot));
    Chunk* chunk = size.with_room;
    if (chunk->live == 0) --spares_;
    void* p;
    if (chunk->free != nullptr) {
      p = chunk->free;
      base::unpoison_memory(p, sizeof(void*));
      chunk->free = *static_cast<void**>(p);
    } else {
      p = reinterpret_cast<char*>(chunk) + chunk->fresh;
      chunk->fresh += slot;
    }
    ++chunk->live;
    if (chunk->free == nullptr && chunk->fresh + slot > kChunk) drop_room(size, chunk);
    base::unpoison_memory(p, bytes);
    return p;
  }

  void deallocate(void* p, std::size_t bytes) {
    const std::size_t slot = slot_of(bytes);
    Chunk* chunk = chunk_of(p);
    std::lock_guard guard(lock_);
    Size& size = sizes_[slot / kLine];
    base::unpoison_memory(p, sizeof(void*));
    *static_cast<void**>(p) = chunk->free;
    base::poison_memory(p, slot);
    chunk->free = p;
    --chunk->live;
    if (!chunk->has_room) add_room(size, chunk);
    if (chunk->live > 0) return;
    if (spares_ < kMaxSpares) {
      ++spares_;
      return;
    }
    drop_room(size, chunk);
    --size.chunks;
    base::unmap_huge_pages(chunk, kChunk);
  }

  void lock() { lock_.lock(); }
  void unlock() { lock_.unlock(); }

  std::size_t chunk_count(std::size_t bytes) {
    std::lock_guard guard(lock_);
    return sizes_[slot_of(bytes) / kLine].chunks;
  }

 private:
  // A fresh chunk counts as a spare until its first slot is handed out.
  Chunk* new_chunk(std::size_t slot) {
    // On a chunk boundary, so that chunk_of finds the head from any row.
    auto* chunk = new (base::map_huge_pages(kChunk)) Chunk;
    chunk->fresh = slot;  // the head takes the first slot; slots are never smaller
    base::poison_memory(reinterpret_cast<char*>(chunk) + chunk->fresh, kChunk - chunk->fresh);
    ++sizes_[slot / kLine].chunks;
    ++spares_;
    return chunk;
  }

  static void add_room(Size& size, Chunk* chunk) {
    chunk->prev = nullptr;
    chunk->next = size.with_room;
    if (size.with_room != nullptr) size.with_room->prev = chunk;
    size.with_room = chunk;
    chunk->has_room = true;
  }

  static void drop_room(Size& size, Chunk* chunk) {
    if (chunk->prev != nullptr) {
      chunk->prev->next = chunk->next;
    } else {
      size.with_room = chunk->next;
    }
    if (chunk->next != nullptr) chunk->next->prev = chunk->prev;
    chunk->prev = chunk->next = nullptr;
    chunk->has_room = false;
  }

  // Held for a few dozen instructions, and taken once per record by each thread
  // that decodes a snapshot.
  base::SpinLock lock_;
  std::array<Size, kLargest / kLine + 1> sizes_{};
  std::size_t spares_ = 0;
};

// Never destroyed: rows may be freed by destructors that run after any static
// destructor of this file. Set once, before any fork handler can run.
Pool* the_pool = nullptr;

// A child forked while another thread held the lock would wait on it forever, so
// the lock is held across the fork and released on both sides.
Pool& pool() {
  static const bool made = [] {
    the_pool = new Pool;
    base::around_fork([] { the_pool->lock(); }, [] { the_pool->unlock(); });
    return true;
  }();
  (void)made;
  return *the_pool;
}

// Made while the library loads, before any thread can allocate: a fork while another
// thread was still making the pool would leave the child waiting on that forever.
[[maybe_unused]] const Pool& kMadeAtLoad = pool();

}  // namespace

bool pooled(std::size_t bytes) { return bytes >= kSmallest && bytes <= kLargest; }

void* allocate(std::size_t bytes) { return pool().allocate(bytes); }

void deallocate(void* p, std::size_t bytes) noexcept { pool().deallocate(p, bytes); }

std::size_t chunk_count(std::size_t bytes) { return pool().chunk_count(bytes); }

}  // namespace pvdb::core::row_pool
