#include "index/search_pool.h"

#include <utility>

namespace pvdb::index {

SearchPair SearchPool::pop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pairs_.empty()) {
    SearchPair pair;
    pair.search.visited = Visited(point_count_);
    pair.insertion.visited = Visited(point_count_);
    return pair;
  }
  SearchPair pair = std::move(pairs_.back());
  pairs_.pop_back();
  return pair;
}

void SearchPool::push(SearchPair pair) {
  std::lock_guard<std::mutex> lock(mutex_);
  pairs_.push_back(std::move(pair));
}

std::size_t SearchPool::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pairs_.size();
}

}  // namespace pvdb::index
