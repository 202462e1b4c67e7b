#pragma once

#include <Python.h>

#include "core/vector_entry.h"
#include "python/borrow.h"

namespace pvdb::py {

// The instance layout of the Python class VectorEntry. `entry` is constructed
// in entry_new or wrap_record and destroyed in the type's dealloc.
struct EntryObject {
  PyObject_HEAD core::VectorEntry entry;
  BorrowFlag borrow;
};

// The VectorEntry type, created on the first call and kept for the rest of the
// process (later calls, from any module object, return the same type). Returns
// a borrowed reference, or nullptr with an exception set if creation failed.
PyTypeObject* entry_type();

// Copies the record out of `obj` under a shared borrow. Fails with TypeError
// "'{type}' object is not an instance of 'VectorEntry'" (not yet named after an
// argument: pass it through convert_arg) or with the borrow's RuntimeError.
bool to_record(PyObject* obj, core::VectorEntry& out);

// A new VectorEntry object that owns `record`. Returns a new reference, or
// nullptr with an exception set.
PyObject* wrap_record(core::VectorEntry record);

}  // namespace pvdb::py
