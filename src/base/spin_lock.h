#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace pvdb::base {

// One step of a spin on a lock held for a few instructions: the hint lets a
// sibling hardware thread run meanwhile and, on x86, spares the pipeline flush
// when the lock is seen free. Where the processor has no such hint this does nothing.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// The wait after the `spins`-th failed attempt at a lock: a pause for the first
// `kSpins`, then a yield, so that a holder that lost its processor gets it back.
template <int kSpins>
inline void spin_wait(int spins) {
  if (spins < kSpins) {
    spin_pause();
  } else {
    std::this_thread::yield();
  }
}

// A one-byte lock for sections of a few dozen instructions taken very often, where
// a brief spin costs far less than a sleeping mutex's bookkeeping. Meets the
// standard Lockable requirements, so std::lock_guard holds it.
class SpinLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; held_.load(std::memory_order_relaxed); ++spins) spin_wait<128>(spins);
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// Runs `before` in the forking thread just before every fork of this process, and
// `after` on both sides just after it. A lock taken in `before` and released in
// `after` is never copied into a child while another thread holds it, where nothing
// would ever release it.
void around_fork(void (*before)(), void (*after)());

// A four-byte reader-writer lock, one per layer-0 node while a graph is built.
// Critical sections are short copies of a node's slots, except that an insertion
// holds its own node for the whole insertion, so waiters yield sooner than on a
// SpinLock. A waiting writer stops new readers from entering, so re-selections
// that write a popular node are not starved by the searches reading it.
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
      spin_wait<64>(spins);
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
      spin_wait<64>(spins);
    }
  }

  void unlock() { state_.fetch_and(~kWriter, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWriterWaiting = 1u << 30;

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

}  // namespace pvdb::base
