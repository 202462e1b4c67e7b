#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "base/check.h"
#include "base/huge_pages.h"
#include "base/spin_lock.h"
#include "index/point.h"

namespace pvdb::index {

inline constexpr std::size_t kM = 32;
inline constexpr std::size_t kZeroSlots = 2 * kM;
inline constexpr std::size_t kUpperSlots = kM;

// A neighbour list is filled from slot 0 without gaps; the first empty slot ends it.

// The neighbours of one point in layer 0.
struct ZeroNode {
  std::array<PointIndex, kZeroSlots> slots;

  ZeroNode() { slots.fill(kEmptySlot); }

  // Puts point at slot index, shifting the slots from there up by one; the entry in
  // the last slot falls off. An index past the last slot does nothing.
  void insert(std::size_t index, PointIndex point);

  bool operator==(const ZeroNode&) const = default;
};

// The neighbours of one point in an upper layer, never written once made.
struct UpperNode {
  std::array<PointIndex, kUpperSlots> slots;

  UpperNode() { slots.fill(kEmptySlot); }

  // The first slots of a layer-0 node, unchanged.
  static UpperNode from_zero(const ZeroNode& node);

  bool operator==(const UpperNode&) const = default;
};

// Layer 0 of a whole graph, one node per point.
using ZeroNodes = std::vector<ZeroNode, base::HugePageAllocator<ZeroNode>>;

inline void ZeroNode::insert(std::size_t index, PointIndex point) {
  if (index >= kZeroSlots) return;
  if (slots[index] != kEmptySlot) {
    for (std::size_t k = kZeroSlots - 1; k > index; --k) slots[k] = slots[k - 1];
  }
  slots[index] = point;
}

inline UpperNode UpperNode::from_zero(const ZeroNode& node) {
  UpperNode upper;
  for (std::size_t k = 0; k < kUpperSlots; ++k) upper.slots[k] = node.slots[k];
  return upper;
}

// A read-only view of one layer in any of its forms: an upper layer, layer 0 of a
// finished graph, or layer 0 under construction with one lock per node. Cheap to
// copy; the nodes and locks must outlive it.
class Layer {
 public:
  static Layer upper(std::span<const UpperNode> nodes) { return Layer(nodes, {}, nullptr); }
  static Layer zero(std::span<const ZeroNode> nodes) { return Layer({}, nodes, nullptr); }
  // Every node is read under its shared lock, except owned: the calling thread
  // holds that node exclusively and reads it as it stands.
  static Layer locked(std::span<const ZeroNode> nodes, base::RwLock* locks, PointIndex owned) {
    Layer layer({}, nodes, locks);
    layer.owned_ = owned;
    return layer;
  }

  std::size_t size() const { return upper_.empty() ? zero_.size() : upper_.size(); }

  // p's neighbours as nearest_iter yields them: read in place where no lock guards
  // the node, else copied into scratch (room for kZeroSlots) under its shared lock.
  std::span<const PointIndex> neighbours(PointIndex p, std::size_t links,
                                         PointIndex* scratch) const {
    if (!upper_.empty()) {
      PVDB_CHECK(p < upper_.size());
      return prefix(upper_[p].slots, links);
    }
    PVDB_CHECK(p < zero_.size());
    if (locks_ == nullptr || p == owned_) return prefix(zero_[p].slots, links);
    return {scratch, nearest_iter(p, links, scratch)};
  }

  // Starts loading p's node into the cache. A candidate kept now is usually
  // expanded a few steps later, and its list would then stall the search on its
  // first read. Nothing is read, so no lock is needed.
  void prefetch(PointIndex p) const {
    const char* node = nullptr;
    std::size_t bytes = 0;
    if (!upper_.empty()) {
      if (p >= upper_.size()) return;
      node = reinterpret_cast<const char*>(&upper_[p]);
      bytes = sizeof(UpperNode);
    } else {
      if (p >= zero_.size()) return;
      node = reinterpret_cast<const char*>(&zero_[p]);
      bytes = sizeof(ZeroNode);
    }
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(node + at);
  }

  // Copies p's neighbours, in slot order, into out: at most links of them, ending
  // at the first empty slot. Returns how many were copied.
  std::size_t nearest_iter(PointIndex p, std::size_t links, PointIndex* out) const {
    if (!upper_.empty()) {
      PVDB_CHECK(p < upper_.size());
      return copy_slots(upper_[p].slots, links, out);
    }
    PVDB_CHECK(p < zero_.size());
    if (locks_ == nullptr || p == owned_) return copy_slots(zero_[p].slots, links, out);
    base::SharedGuard guard(locks_[p]);
    return copy_slots(zero_[p].slots, links, out);
  }

 private:
  Layer(std::span<const UpperNode> upper, std::span<const ZeroNode> zero, base::RwLock* locks)
      : upper_(upper), zero_(zero), locks_(locks) {}

  template <std::size_t N>
  static std::span<const PointIndex> prefix(const std::array<PointIndex, N>& slots,
                                            std::size_t links) {
    const std::size_t limit = links < N ? links : N;
    std::size_t count = 0;
    while (count < limit && slots[count] != kEmptySlot) ++count;
    return {slots.data(), count};
  }

  template <std::size_t N>
  static std::size_t copy_slots(const std::array<PointIndex, N>& slots, std::size_t links,
                                PointIndex* out) {
    const std::size_t limit = links < N ? links : N;
    std::size_t count = 0;
    while (count < limit && slots[count] != kEmptySlot) {
      out[count] = slots[count];
      ++count;
    }
    return count;
  }

  std::span<const UpperNode> upper_;
  std::span<const ZeroNode> zero_;
  base::RwLock* locks_ = nullptr;
  PointIndex owned_ = kEmptySlot;
};

}  // namespace pvdb::index
