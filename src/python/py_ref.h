#pragma once

#include <Python.h>

#include <utility>

namespace pvdb::py {

// Owns one strong reference (or none). Move-only; the destructor drops the
// reference, so it may only be destroyed while the calling thread holds the
// interpreter.
class PyRef {
 public:
  PyRef() = default;
  // Takes over `owned`, a new reference or nullptr.
  explicit PyRef(PyObject* owned) : ptr_(owned) {}
  PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(ptr_); }

  // Adds a reference to a borrowed pointer and owns it.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  void reset(PyObject* owned = nullptr) {
    PyObject* old = std::exchange(ptr_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace pvdb::py
