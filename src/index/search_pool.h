#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "index/search.h"

namespace pvdb::index {

// One insertion's searches: the first finds the new point's neighbours, the
// second re-selects the lists of those neighbours, with the hints each list's
// last selection leaves for it.
struct SearchPair {
  Search search;
  Search insertion;
  SelectionHints hints;
};

// Idle search pairs shared by the worker threads of one build, reused last-in
// first-out. It never drops a pair, so it ends up holding as many pairs as there
// were insertions running at once. Safe to call from any thread.
class SearchPool {
 public:
  explicit SearchPool(std::size_t point_count) : point_count_(point_count) {}

  // The most recently returned pair, or a fresh one sized for the point count.
  SearchPair pop();
  void push(SearchPair pair);

  std::size_t idle() const;

 private:
  mutable std::mutex mutex_;
  std::vector<SearchPair> pairs_;
  std::size_t point_count_;
};

}  // namespace pvdb::index
