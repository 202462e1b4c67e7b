#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "index/spin_pause.h"

namespace pvdb::index {

// A four-byte reader-writer lock, one per layer-0 node while a graph is built.
// Critical sections are short copies of a node's slots, except that an insertion
// holds its own node for the whole insertion; waiters spin briefly, then yield.
// A waiting writer stops new readers from entering, so re-selections that write
// a popular node are not starved by the searches reading it.
class RwLock {
 public:
  void lock_shared() {
    for (int spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & (kWriter | kWriterWaiting)) == 0 &&
          state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      pause(spins);
    }
  }

  void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }

  void lock() {
    for (int spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & ~kWriterWaiting) == 0) {
        if (state_.compare_exchange_weak(state, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
      } else if ((state & kWriterWaiting) == 0) {
        state_.fetch_or(kWriterWaiting, std::memory_order_relaxed);
      }
      pause(spins);
    }
  }

  void unlock() { state_.fetch_and(~kWriter, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWriterWaiting = 1u << 30;

  static void pause(int spins) {
    if (spins < 64) {
      spin_pause();
    } else {
      std::this_thread::yield();
    }
  }

  std::atomic<std::uint32_t> state_{0};
};

// Scoped holders, so no path can leave a node locked.
class SharedGuard {
 public:
  explicit SharedGuard(RwLock& lock) : lock_(lock) { lock_.lock_shared(); }
  ~SharedGuard() { lock_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  RwLock& lock_;
};

class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(RwLock& lock) : lock_(lock) { lock_.lock(); }
  ~ExclusiveGuard() { lock_.unlock(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  RwLock& lock_;
};

}  // namespace pvdb::index
