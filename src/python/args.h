#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/row_pool.h"
#include "python/py_ref.h"

namespace pvdb::py {

// The parameters of one callable. Every parameter may be passed positionally or
// by keyword; the first `required` have no default.
struct Signature {
  const char* function;  // full name for messages, e.g. "VectorStore.search()"
  std::span<const char* const> names;
  std::size_t required;
};

// Matches a call to `sig`. `slots` has one entry per parameter and receives a
// borrowed reference to each given argument, or nullptr for an absent optional
// one. The references live as long as the call's own arguments. Returns false
// with TypeError set on a call-shape error.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);
// The same for METH_FASTCALL | METH_KEYWORDS callables and vectorcall; `nargs`
// may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots);

// Conversions. Each returns false with the exception set; the errors are the raw
// ones, before any argument name is attached (see convert_arg).

// `str` and subclasses, encoded as UTF-8. Lone surrogates raise UnicodeEncodeError.
bool to_string(PyObject* obj, std::string& out);
// Any sequence other than `str`, each element through the float protocol and
// rounded to the nearest 32-bit float. Runs Python code (iteration, __float__).
// A one-dimensional buffer of native 'f' or 'd' elements (a NumPy vector, an
// array.array, a memoryview; any strides) is read directly instead, with the
// same rounding; every other buffer, bytes included, is read as a sequence.
bool to_float_list(PyObject* obj, core::Embedding& out);
// An int or an object with __index__, as an unsigned 64-bit count.
bool to_count(PyObject* obj, std::uint64_t& out);

// Sets TypeError "'{type}' object is not an instance of '{expected}'" for `obj`,
// or "'None' is not an instance of '{expected}'" when it is None.
void set_not_instance(PyObject* obj, const char* expected);

// Checks that `obj` may be read as a list (a sequence, not `str`) and returns
// an iterator over it, or nullptr with TypeError set. `hint` receives len(obj),
// or 0 when len() fails (that error is cleared).
PyRef sequence_iter(PyObject* obj, std::size_t& hint);

// Reads a list out of a sequence, converting every element with
// `convert(PyObject*, T&) -> bool`. Element errors pass through unchanged.
template <class List, class Convert>
bool to_list(PyObject* obj, List& out, Convert convert) {
  std::size_t hint = 0;
  PyRef iter = sequence_iter(obj, hint);
  if (!iter) return false;
  List items;
  items.reserve(hint);
  while (PyRef item{PyIter_Next(iter.get())}) {
    if (!convert(item.get(), items.emplace_back())) return false;
  }
  if (PyErr_Occurred()) return false;
  out = std::move(items);
  return true;
}

// After a failed conversion of the argument `name`: a pending TypeError becomes
// TypeError "argument '{name}': {message}" keeping the original's cause; any
// other exception is left as it is. Always returns false.
bool fail_arg(const char* name);

// Converts argument `name` into `out`, attaching the name to a TypeError.
template <class T, class Convert>
bool convert_arg(const char* name, PyObject* obj, T& out, Convert convert) {
  return convert(obj, out) || fail_arg(name);
}

// As convert_arg for an optional parameter: an absent argument (nullptr) leaves
// `out`, which holds the default, untouched.
template <class T, class Convert>
bool convert_optional_arg(const char* name, PyObject* obj, T& out, Convert convert) {
  return obj == nullptr || convert_arg(name, obj, out, convert);
}

}  // namespace pvdb::py
