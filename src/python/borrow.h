#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>

namespace pvdb::py {

// The per-object borrow flag: 0 is free, n > 0 counts shared borrows and all
// bits set marks the one exclusive borrow. It lives inside a Python object and
// is only touched through the guards below.
using BorrowFlag = std::atomic<std::uintptr_t>;

inline constexpr std::uintptr_t kExclusiveBorrow = std::numeric_limits<std::uintptr_t>::max();

// A shared borrow for the guard's lifetime. After construction check ok(): when
// an exclusive borrow is held, nothing is taken and RuntimeError is set.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
    std::uintptr_t seen = flag.load(std::memory_order_relaxed);
    for (;;) {
      // One below the exclusive marker: the count can never grow into it.
      if (seen >= kExclusiveBorrow - 1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        flag_ = nullptr;
        return;
      }
      if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
        return;
      }
    }
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_ != nullptr) flag_->fetch_sub(1, std::memory_order_release);
  }

  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// The exclusive borrow for the guard's lifetime. After construction check ok():
// when any borrow is held, nothing is taken and RuntimeError is set.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) {
    std::uintptr_t expected = 0;
    if (!flag.compare_exchange_strong(expected, kExclusiveBorrow, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      flag_ = nullptr;
    }
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) flag_->store(0, std::memory_order_release);
  }

  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace pvdb::py
